"""Run the simulated reader, ``tqrf-sim``, for tests without hardware.

``tqrf-sim`` serves the reader's protocol on a pseudo-terminal (POSIX systems only) with
Mifare Classic 1K cards in its field; it prints the device to open on its first line::

    import tqrf, tqrf.sim

    with tqrf.sim.run() as path:              # one factory-fresh card, UID 3A7C91E5
        with tqrf.Reader(path) as r:
            print(r.find().uid)

    with tqrf.sim.run("--no-card") as path: ...
    with tqrf.sim.run("--fault", "noreply@0x45/1") as path: ...   # lose one read reply

For a test that must stop the simulator while a reader is open (the reader then sees its
device lost), use :class:`Simulator` and its :meth:`Simulator.stop`.

The program is found as the `program` argument, else the ``TQRF_SIM`` environment
variable, else ``tqrf-sim`` in this package's folder, else ``tqrf-sim`` on ``PATH``.
"""

from __future__ import annotations

import contextlib
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from typing import IO, Iterator, List, Optional

from .errors import Error

PROGRAM = "tqrf-sim"
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class SimulatorError(Error):
    """The simulator program could not be found, or did not start."""


def find_program(program: Optional[str] = None) -> str:
    """The path of the tqrf-sim program to run (see the module's text for the order)."""
    if program:
        return program
    env = os.environ.get("TQRF_SIM")
    if env:
        return env
    own = os.path.join(PACKAGE_DIR, PROGRAM)
    if os.access(own, os.X_OK):
        return own
    found = shutil.which(PROGRAM)
    if found:
        return found
    raise SimulatorError(
        f"{PROGRAM} was not found: pass its path, set TQRF_SIM, or put it on PATH"
    )


class Simulator:
    """One running ``tqrf-sim`` process; a context manager that stops it on exit.

    Args:
        *options: command-line options for the program ("--no-card", "--uid", "01020304",
            "--fault", "noreply@0x45/1", "--latency", "10", ...).
        program: the program's path (see :func:`find_program`).
        start_timeout: seconds to wait for the device path on its first line.

    Attributes:
        path: the device to open (a pseudo-terminal such as /dev/pts/7).
        process: the :class:`subprocess.Popen` of the program.
    """

    def __init__(
        self, *options: str, program: Optional[str] = None, start_timeout: float = 10.0
    ) -> None:
        self.options: List[str] = [str(o) for o in options]
        self.program = find_program(program)
        self.returncode: Optional[int] = None
        self._log: IO[bytes] = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(
                [self.program, *self.options],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=self._log,
            )
        except OSError as e:
            self._log.close()
            raise SimulatorError(f"cannot start {self.program}: {e}") from None
        try:
            self.path: str = self._first_line(start_timeout)
        except BaseException:
            self._terminate(2.0)
            self._log.close()
            raise

    def _first_line(self, timeout: float) -> str:
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        data = b""
        deadline = time.monotonic() + timeout
        while b"\n" not in data:
            left = deadline - time.monotonic()
            if left <= 0:
                raise SimulatorError(f"{self.program} printed no device within {timeout} s")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 256)
            if not chunk:
                self.process.wait(timeout=5)
                raise SimulatorError(
                    f"{self.program} {' '.join(self.options)} exited with status "
                    f"{self.process.returncode}: {self.log().strip()}"
                )
            data += chunk
        return data.split(b"\n", 1)[0].decode().strip()

    def log(self) -> str:
        """What the program wrote on its standard error so far (``--verbose`` logs every
        exchange there)."""
        if self._log.closed:
            return ""
        self._log.flush()
        self._log.seek(0)
        return self._log.read().decode("utf-8", "replace")

    def _terminate(self, timeout: float) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        return self.process.returncode

    def stop(self, timeout: float = 10.0) -> int:
        """Stop the program (SIGTERM, then SIGKILL after `timeout` seconds); returns its exit
        status (0 for a clean stop). A reader still open on its device sees the device
        lost. Stopping a stopped simulator returns the same status."""
        if self.returncode is None:
            self.returncode = self._terminate(timeout)
        return self.returncode

    @property
    def running(self) -> bool:
        """True while the program runs."""
        return self.process.poll() is None

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()
        self._log.close()

    def __repr__(self) -> str:
        return f"<tqrf.sim.Simulator {self.path} {'running' if self.running else 'stopped'}>"


@contextlib.contextmanager
def run(*options: str, program: Optional[str] = None) -> Iterator[str]:
    """Start ``tqrf-sim`` with `options`, yield its device path, stop it afterwards."""
    with Simulator(*options, program=program) as sim:
        yield sim.path
