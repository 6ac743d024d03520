"""Readers used from several threads."""

from __future__ import annotations

import threading
from typing import Callable, List

import tqrf
from tqrf import Key

JOIN_TIMEOUT = 120.0  # generous: a loaded machine must not fail the test


def _run_threads(targets: List[Callable[[], None]]) -> List[BaseException]:
    errors: List[BaseException] = []

    def wrap(fn: Callable[[], None]) -> Callable[[], None]:
        def run() -> None:
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - handed to the test
                errors.append(e)

        return run

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
        assert not t.is_alive(), "a thread did not finish"
    return errors


def test_two_readers_in_two_threads(start_sim, open_reader) -> None:
    uids = ["11223344", "55667788"]
    readers = [open_reader(start_sim("--uid", u).path) for u in uids]
    seen: List[List[bytes]] = [[], []]

    def session(i: int) -> Callable[[], None]:
        def run() -> None:
            r = readers[i]
            card = r.find()
            seen[i].append(card.serial)
            r.login(1, Key.DEFAULT)
            for n in range(25):
                data = bytes([i * 100 + n]) * 16
                r.write(4, data)
                assert r.read(4) == data
                r.initval(5, n)
                r.increment(5, i + 1)
                r.transfer(5)
                assert r.readval(5) == n + i + 1

        return run

    assert _run_threads([session(0), session(1)]) == []
    assert seen == [[bytes.fromhex(uids[0])], [bytes.fromhex(uids[1])]]


def test_one_reader_shared_by_two_threads(reader: tqrf.Reader) -> None:
    def ask_version() -> None:
        for _ in range(30):
            assert reader.hardware_version() == b"TQRF-SIM RC500 V1.0"

    def ask_id() -> None:
        for _ in range(30):
            assert reader.id() == 0x12345678

    assert _run_threads([ask_version, ask_id]) == []


def test_close_waits_for_a_call_on_another_thread(reader: tqrf.Reader) -> None:
    started = threading.Event()
    outcome: List[BaseException] = []

    def keep_calling() -> None:
        try:
            while True:
                reader.link_test()
                started.set()
        except tqrf.Error as e:
            outcome.append(e)

    t = threading.Thread(target=keep_calling)
    t.start()
    assert started.wait(JOIN_TIMEOUT)
    reader.close()
    t.join(JOIN_TIMEOUT)
    assert not t.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], tqrf.ReaderClosed)
