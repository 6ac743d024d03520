"""Fixtures: a simulated reader per test (tqrf-sim on its own pseudo-terminal), and readers
on it that are closed after the test.

The library and the simulator come from TQRF_LIBRARY and TQRF_SIM when set (as
bindings/run-tests.sh sets them), else from the package's own lookup.
"""

from __future__ import annotations

import contextlib
from typing import Callable, Iterator

import pytest

import tqrf
import tqrf.sim


@pytest.fixture
def start_sim() -> Iterator[Callable[..., tqrf.sim.Simulator]]:
    """Start a simulator with the given options; every one is stopped after the test."""
    with contextlib.ExitStack() as stack:

        def start(*options: str) -> tqrf.sim.Simulator:
            return stack.enter_context(tqrf.sim.Simulator(*options))

        yield start


# The most reply slack there is: a test reader waits up to 1040 ms for a reply, so that a
# simulator left unscheduled for a while on a loaded machine still answers in time. In
# complete mode a reply that came is taken at once: only the lost-reply cases wait it out.
SLACK_MS = 1000


@pytest.fixture
def open_reader() -> Iterator[Callable[..., tqrf.Reader]]:
    """Open a reader (with SLACK_MS and one attempt unless told otherwise); every one is
    closed after the test. One attempt: a fault on a reply is what the test sees; the tests
    of repeats ask for more."""
    with contextlib.ExitStack() as stack:

        def open_(path: str, **kwargs: object) -> tqrf.Reader:
            kwargs.setdefault("slack_ms", SLACK_MS)
            kwargs.setdefault("attempts", 1)
            return stack.enter_context(tqrf.Reader(path, **kwargs))

        yield open_


@pytest.fixture
def sim(start_sim: Callable[..., tqrf.sim.Simulator]) -> tqrf.sim.Simulator:
    """A simulator with one factory-fresh card (UID 3A7C91E5) in the field."""
    return start_sim()


@pytest.fixture
def reader(sim: tqrf.sim.Simulator, open_reader: Callable[..., tqrf.Reader]) -> tqrf.Reader:
    """A reader on `sim`."""
    return open_reader(sim.path)
