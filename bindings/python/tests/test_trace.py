"""The trace callable: what it sees, that it stays alive, and what it must not do."""

from __future__ import annotations

import gc
import sys
from typing import Any, List

import pytest

import tqrf
from tqrf import Key, TraceEvent, TraceKind


def _xor(data: bytes) -> int:
    x = 0
    for b in data:
        x ^= b
    return x


def test_trace_shows_each_exchange_byte_for_byte(reader: tqrf.Reader) -> None:
    events: List[TraceEvent] = []
    reader.find()
    reader.login(1, Key.DEFAULT)
    reader.set_trace(events.append)
    assert reader.trace is not None

    reader.read(4)
    assert [e.kind for e in events] == [
        TraceKind.ADDRESS, TraceKind.FRAME, TraceKind.REPLY, TraceKind.RESULT,
    ]
    assert events[0].data == b"\x58"
    assert events[1].data == bytes.fromhex("0004BB450400FE")
    reply = events[2].data
    assert len(reply) == 20 and reply[:2] == b"\x00\x11" and reply[-1] == _xor(reply[:-1])
    assert (events[3].result, events[3].data) == (0, b"")
    times = [e.time_us for e in events]
    assert times == sorted(times)

    events.clear()
    reader.link_test()
    assert [e.data for e in events[:3]] == [b"\x58", bytes.fromhex("0004BB7755009D"),
                                            bytes.fromhex("00010001")]


def test_trace_of_a_failed_call(start_sim, open_reader) -> None:
    events: List[TraceEvent] = []
    r = open_reader(start_sim("--no-card").path, trace=events.append)
    with pytest.raises(tqrf.ReaderStatus):
        r.find()
    assert events[-1].kind == TraceKind.RESULT and events[-1].result == 0x11
    assert events[-2].kind == TraceKind.REPLY and events[-2].data == bytes.fromhex("00011110")


def test_trace_callable_is_kept_alive_while_set(reader: tqrf.Reader) -> None:
    seen: List[int] = []

    class Recorder:
        def __call__(self, event: TraceEvent) -> None:
            seen.append(event.kind)

    reader.set_trace(Recorder())  # the reader holds the only reference
    gc.collect()
    reader.link_test()
    assert seen == [1, 2, 3, 4]

    reader.set_trace(None)
    assert reader.trace is None
    gc.collect()
    reader.link_test()
    assert len(seen) == 4


def test_trace_exceptions_and_reentry_do_not_stop_the_call(reader: tqrf.Reader, monkeypatch) -> None:
    unraisable: List[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def broken(event: TraceEvent) -> None:
        raise RuntimeError("trace failed")

    reader.set_trace(broken)
    assert reader.hardware_version() == b"TQRF-SIM RC500 V1.0"
    assert len(unraisable) == 4
    assert all(isinstance(u.exc_value, RuntimeError) for u in unraisable)

    refused: List[BaseException] = []

    def calls_its_reader(event: TraceEvent) -> None:
        try:
            reader.link_test()  # would deadlock inside the exchange
        except tqrf.Error as e:
            refused.append(e)

    reader.set_trace(calls_its_reader)
    reader.link_test()
    assert len(refused) == 4 and all(type(e) is tqrf.Error for e in refused)
    reader.set_trace(None)
    reader.link_test()
