"""Repeats after a lost reply, against the simulated reader with faults on its replies."""

from __future__ import annotations

import pytest

import tqrf
from tqrf import Key, NotApplied, ReaderStats, ReplyFrameError, RetryAction, TraceKind

PURSE = 5
# A lost reply costs the whole deadline: 40 ms and this slack. Enough for a loaded machine,
# short enough for a hundred operations with a few losses among them.
SLACK_MS = 300


def test_a_hundred_debits_under_random_faults_leave_the_purse_exactly_a_hundred_lower(
    start_sim, open_reader
) -> None:
    sim = start_sim("--fault", "noreply%2", "--fault", "corrupt-xor%1", "--seed", "7")
    r = open_reader(sim.path, slack_ms=SLACK_MS, attempts=3)
    retries = []
    r.set_trace(lambda e: retries.append(e) if e.kind == TraceKind.RETRY else None)
    r.find()
    r.login(1, Key.DEFAULT)
    r.initval(PURSE, 1000)
    start = r.readval(PURSE)
    assert start == 1000

    for i in range(100):
        assert r.debit(PURSE, 1) == start - i - 1

    assert r.readval(PURSE) == start - 100
    stats = r.stats
    # The faults did hit: the purse came out right because they were settled, not avoided.
    assert stats.retries > 0 and stats.recoveries > 0
    assert stats.failures == 0
    assert retries, "no repeat in the trace"
    assert all(len(e.data) == 3 and e.result in (-85, -86, -87) for e in retries)


def test_a_read_whose_reply_is_lost_is_repeated_and_the_trace_says_so(
    start_sim, open_reader
) -> None:
    sim = start_sim("--fault", "noreply@0x45/1")
    r = open_reader(sim.path, slack_ms=SLACK_MS, attempts=3)
    events = []
    r.set_trace(events.append)
    r.find()
    r.login(1, Key.DEFAULT)
    assert r.read(4) == bytes(16)
    retry = [e for e in events if e.kind == TraceKind.RETRY]
    assert [(e.data, e.result) for e in retry] == [
        (bytes([0x45, 2, RetryAction.REPEATED]), -86)
    ]
    assert r.stats == ReaderStats(requests=4, retries=1, recoveries=1, failures=0)


def test_a_reader_opens_with_three_attempts(sim) -> None:
    with tqrf.Reader(sim.path) as r:
        assert r.attempts == 3
        r.attempts = 10
        assert r.attempts == 10
        with pytest.raises(tqrf.BadArgument):
            r.attempts = 11


def test_one_attempt_repeats_nothing(start_sim, open_reader) -> None:
    sim = start_sim("--fault", "noreply@0x45/1")
    r = open_reader(sim.path, slack_ms=SLACK_MS, attempts=1)
    r.find()
    r.login(1, Key.DEFAULT)
    with pytest.raises(ReplyFrameError):
        r.read(4)
    assert r.stats.failures == 1 and r.stats.retries == 0


def test_a_write_whose_reply_is_lost_is_read_back_and_not_written_again(
    start_sim, open_reader
) -> None:
    sim = start_sim("--fault", "noreply@0x46/1", "--verbose")
    r = open_reader(sim.path, slack_ms=SLACK_MS, attempts=3)
    events = []
    r.set_trace(events.append)
    r.find()
    r.login(1, Key.DEFAULT)
    data = bytes(range(0x30, 0x40))
    r.write(4, data)
    assert r.read(4) == data
    frames = [e.data for e in events if e.kind == TraceKind.FRAME]
    writes = [f for f in frames if f[3] == 0x46]
    assert len(writes) == 1  # the card took it once: read back, never written again
    retry = [e.data for e in events if e.kind == TraceKind.RETRY]
    assert retry == [bytes([0x46, 1, RetryAction.SETTLED])]


def test_a_value_change_lost_every_time_is_not_applied(start_sim, open_reader) -> None:
    sim = start_sim("--fault", "noreply@0x4A")  # every decrement reply lost
    r = open_reader(sim.path, slack_ms=SLACK_MS, attempts=2)
    r.find()
    r.login(1, Key.DEFAULT)
    r.initval(PURSE, 50)
    with pytest.raises(NotApplied):
        r.debit(PURSE, 5)
    assert r.readval(PURSE) == 50  # a decrement alone never reaches the block
