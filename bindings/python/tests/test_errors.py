"""Every kind of failure raises its own exception, all derived from tqrf.Error."""

from __future__ import annotations

import errno
import os
import time
from typing import Callable, List, Optional

import pytest

import tqrf
from tqrf import Key, KeyType, TraceKind

WRONG_KEY = Key.from_hex("A0A1A2A3A4A5")


def _login(r: tqrf.Reader) -> None:
    r.find()
    r.login(1, Key.DEFAULT)


# (name, simulator options, what the test does first, the failing call, exception, code)
READER_FAULTS = [
    ("wrong key", [], lambda r: (r.find(), r.loadkey(KeyType.A, 1, WRONG_KEY)),
     lambda r: r.authenticate(KeyType.A, 1), tqrf.ReaderStatus, 0x12),
    ("no card", ["--no-card"], None, lambda r: r.find(), tqrf.ReaderStatus, 0x11),
    ("not authenticated", [], lambda r: r.find(), lambda r: r.read(4), tqrf.ReaderStatus, 0x13),
    ("status fault", ["--fault", "status:0x14@0x46"], _login,
     lambda r: r.write(4, bytes(16)), tqrf.ReaderStatus, 0x14),
    ("no reply", ["--fault", "noreply@0x77/1"], None, lambda r: r.link_test(),
     tqrf.ReplyFrameError, -86),
    ("truncated reply", ["--fault", "truncate@0x73/1"], None, lambda r: r.hardware_version(),
     tqrf.ReplyFrameError, -86),
    ("noise before the reply", ["--fault", "noise-before@0x77/1"], None,
     lambda r: r.link_test(), tqrf.ReplyFrameError, -86),
    ("bad checksum", ["--fault", "corrupt-xor@0x76/1"], None, lambda r: r.id(),
     tqrf.ReplyChecksumError, -85),
    ("more data bytes than the reply carries", ["--fault", "extra-data:2@0x45/1"], _login,
     lambda r: r.read(4), tqrf.ReplyLengthError, -87),
]


@pytest.mark.parametrize(
    "options, before, call, kind, code",
    [case[1:] for case in READER_FAULTS],
    ids=[case[0] for case in READER_FAULTS],
)
def test_reader_and_reply_faults(start_sim, open_reader, options, before, call, kind, code):
    r = open_reader(start_sim(*options).path)
    if before is not None:
        before(r)
    with pytest.raises(kind) as e:
        call(r)
    err = e.value
    assert isinstance(err, tqrf.Error)
    assert err.code == code and err.message
    if isinstance(err, tqrf.ReaderStatus):
        # A refusal in the words of its command, with the status byte after them.
        assert err.status == code and err.text == err.message
        assert err.text.endswith(f" (reader status 0x{code:02X})")
        assert str(err) == f"{err.operation}: {err.text}"
    else:
        assert isinstance(err, tqrf.ReplyError)
        assert err.message == tqrf.strerror(code)
    r.link_test()  # the reader goes on working after the fault


# What each refusal means, as the tqrf tool says it (the library's words for the command).
REFUSAL_WORDS = {
    "wrong key": "authenticate: the key is wrong, or the sector's access conditions keep this "
    "key out; find the card again before the next try (reader status 0x12)",
    "no card": "find: no card answered: none is in the field, or the card is halted and only "
    "a request for all cards wakes it (reader status 0x11)",
    "not authenticated": "read: the block was not read: its sector is not authenticated, or its "
    "access conditions keep this key from reading it (reader status 0x13)",
    "status fault": "write: the block was not written: its sector is not authenticated, its "
    "access conditions keep this key from writing it, or it is block 0, which is read-only "
    "(reader status 0x14)",
}


@pytest.mark.parametrize(
    "options, before, call, words",
    [case[1:4] + (REFUSAL_WORDS[case[0]],) for case in READER_FAULTS if case[0] in REFUSAL_WORDS],
    ids=[case[0] for case in READER_FAULTS if case[0] in REFUSAL_WORDS],
)
def test_refusals_say_what_they_mean(start_sim, open_reader, options, before, call, words):
    r = open_reader(start_sim(*options).path)
    if before is not None:
        before(r)
    with pytest.raises(tqrf.ReaderStatus) as e:
        call(r)
    assert str(e.value) == words


def test_a_halted_card_is_found_by_a_request_for_all_cards(reader) -> None:
    reader.find()
    reader.halt()
    with pytest.raises(tqrf.ReaderStatus, match="only a request for all cards wakes it"):
        reader.find()
    assert reader.find(tqrf.RequestMode.ALL).uid == "3A7C91E5"



def test_late_reply_is_not_taken_for_the_next_command(start_sim, open_reader) -> None:
    sim = start_sim("--fault", "delay:500@0x76/1")
    r = open_reader(sim.path, slack_ms=0)  # a 40 ms deadline: the reply comes far too late
    with pytest.raises(tqrf.ReplyFrameError):
        r.id()
    time.sleep(0.8)  # let the late reply land in the input queue first
    r.slack_ms = 1000
    assert r.hardware_version() == b"TQRF-SIM RC500 V1.0"


def test_device_lost_when_the_simulator_stops(sim, open_reader) -> None:
    r = open_reader(sim.path)
    r.link_test()
    assert sim.stop() == 0
    for _ in range(2):  # the loss is for good
        with pytest.raises(tqrf.DeviceLost) as e:
            r.link_test()
        assert e.value.code == -88 and e.value.os_error != 0
    assert r.os_error() == e.value.os_error
    r.close()


@pytest.mark.parametrize(
    "path, os_error",
    [("/nonexistent/tty-of-nobody", errno.ENOENT), ("/dev/null", errno.ENOTTY)],
    ids=["missing", "not a serial device"],
)
def test_port_that_does_not_open(path: str, os_error: int) -> None:
    with pytest.raises(tqrf.PortOpenError) as e:
        tqrf.Reader(path)
    assert isinstance(e.value, tqrf.PortError)
    assert e.value.code == -81 and e.value.os_error == os_error
    assert path in str(e.value)
    assert os.strerror(os_error) in str(e.value)  # the system's reason, in its words


def test_port_already_open(sim, open_reader) -> None:
    first = open_reader(sim.path)
    with pytest.raises(tqrf.PortOpenError) as e:
        tqrf.Reader(sim.path)
    assert e.value.os_error == errno.EBUSY
    first.close()
    open_reader(sim.path).link_test()  # free again once closed


def test_refused_option_closes_the_port(sim, open_reader) -> None:
    with pytest.raises(tqrf.BadArgument):
        tqrf.Reader(sim.path, slack_ms=1001)
    open_reader(sim.path).link_test()  # nothing stayed open


# Arguments the library refuses (-89): each must send nothing at all.
LIBRARY_REFUSES: List[Callable[[tqrf.Reader], object]] = [
    lambda r: r.read(64),
    lambda r: r.write(-1, bytes(16)),
    lambda r: r.readval(64),
    lambda r: r.loadkey(KeyType.A, 16, Key.DEFAULT),
    lambda r: r.authenticate(KeyType.A, 16),
    lambda r: r.anticoll(256),
    lambda r: r.e2_read(256),
    lambda r: r.e2_write(128, bytes(16)),
    lambda r: r.beep(0, 241),
    lambda r: r.set_option(99, 0),
    lambda r: r.set_baud(0),
]


# Arguments the package refuses before calling the library: wrong buffer sizes (which the
# library would read past) and numbers a C argument cannot hold (which would be cut).
PACKAGE_REFUSES: List[Callable[[tqrf.Reader], object]] = [
    lambda r: r.write(4, b"short"),
    lambda r: r.write(4, bytes(17)),
    lambda r: r.loadkey(KeyType.A, 1, b"12345"),
    lambda r: r.select(b"\x01\x02"),
    lambda r: r.clock_set(bytes(6)),
    lambda r: r.e2_write(0x20, "0123456789abcdef"),  # text, not bytes
    lambda r: r.read(2**32 + 4),  # would be block 4 once cut to 32 bits
    lambda r: r.initval(4, -(2**31) - 1),
    lambda r: r.initval(4, 2**32),
    lambda r: r.debit(4, -1),
    lambda r: r.credit(4, 2**31),
    lambda r: r.increment(4, 2**32),
    lambda r: r.read("4"),
    lambda r: r.dump([]),
]


# Each refused call with the code its BadArgument carries: -89 from the library, None from the
# package itself.
REFUSED = [(call, -89) for call in LIBRARY_REFUSES] + [(call, None) for call in PACKAGE_REFUSES]
REFUSED_IDS = [f"library-{i}" for i in range(len(LIBRARY_REFUSES))] + [
    f"package-{i}" for i in range(len(PACKAGE_REFUSES))
]


@pytest.mark.parametrize("call,code", REFUSED, ids=REFUSED_IDS)
def test_refused_arguments_send_nothing(
    reader: tqrf.Reader, call: Callable[[tqrf.Reader], object], code: Optional[int]
) -> None:
    sent: List[tqrf.TraceEvent] = []
    reader.set_trace(sent.append)
    with pytest.raises(tqrf.BadArgument) as e:
        call(reader)
    assert e.value.code == code and isinstance(e.value, ValueError)
    assert [ev for ev in sent if ev.kind in (TraceKind.ADDRESS, TraceKind.FRAME)] == []
    if code is None:  # the library was never called: not even a result was traced
        assert sent == []


def test_bad_keys_and_ports() -> None:
    for bad in (b"", b"\xff" * 7, "FFFFFFFFFFFF"):
        with pytest.raises(tqrf.BadArgument):
            Key(bad)
    with pytest.raises(tqrf.BadArgument):
        Key.from_hex("FFFFFFFFFFFG")
    assert Key.from_hex("ff:ff:ff:ff:ff:ff") == Key.DEFAULT == b"\xff" * 6
    for port in ("", "COM3\0"):
        with pytest.raises(tqrf.BadArgument):
            tqrf.Reader(port)


def test_closed_reader(reader: tqrf.Reader) -> None:
    reader.close()
    reader.close()  # closing twice is harmless
    assert reader.closed
    for call in (reader.link_test, reader.os_error, lambda: reader.set_trace(None)):
        with pytest.raises(tqrf.ReaderClosed):
            call()
