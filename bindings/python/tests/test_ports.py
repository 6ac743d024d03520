"""Finding the reader from Python: the port listing on a fake device tree, probing the
simulated reader, an echoing line, a silent line and paths that do not open, and the words a
failed command uses for what came back."""

from __future__ import annotations

import errno
import os
import pty
import select
import threading
import tty
from pathlib import Path
from typing import Callable, Iterator, Optional

import pytest

import tqrf
import tqrf.sim


class Line:
    """A pseudo-terminal with nothing behind it, or with a loop that sends every byte back."""

    def __init__(self, echo: bool) -> None:
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True) if echo else None
        if self._thread is not None:
            self._thread.start()

    def _loop(self) -> None:
        while not self._stop.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.01)
            if ready:
                try:
                    os.write(self.master, os.read(self.master, 256))
                except OSError:
                    return

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        os.close(self.slave)
        os.close(self.master)


@pytest.fixture
def line() -> Iterator[Callable[[bool], Line]]:
    lines = []

    def make(echo: bool) -> Line:
        lines.append(Line(echo))
        return lines[-1]

    yield make
    for made in lines:
        made.close()


def test_probe_finds_the_simulated_reader(sim: tqrf.sim.Simulator) -> None:
    found = tqrf.probe(sim.path, deadline_ms=1040)
    assert found.outcome is tqrf.ProbeOutcome.READER
    assert found.outcome.label == "reader"
    assert found.version
    assert found.round_trip_us > 0
    assert found.port == sim.path


@pytest.mark.parametrize(
    "make, outcome, received",
    [
        ("echo", tqrf.ProbeOutcome.ECHO, bytes.fromhex("58 00 04 BB 77 55 00 9D")),
        ("silent", tqrf.ProbeOutcome.SILENT, b""),
    ],
)
def test_probe_tells_echo_from_silence(
    line: Callable[[bool], Line], make: str, outcome: tqrf.ProbeOutcome, received: bytes
) -> None:
    found = tqrf.probe(line(make == "echo").path)
    assert found.outcome is outcome
    assert found.received == received
    assert found.version == b"" and found.reader_id == 0


@pytest.mark.parametrize(
    "path, outcome, os_error",
    [
        ("/dev/tqrf-no-such-port", tqrf.ProbeOutcome.MISSING, errno.ENOENT),
        ("/dev/null", tqrf.ProbeOutcome.NOT_SERIAL, errno.ENOTTY),
    ],
)
def test_probe_says_why_a_port_did_not_open(
    path: str, outcome: tqrf.ProbeOutcome, os_error: int
) -> None:
    found = tqrf.probe(path)
    assert found.outcome is outcome
    assert found.os_error == os_error


def test_probe_of_a_port_in_use_is_busy(
    sim: tqrf.sim.Simulator, open_reader: Callable[..., tqrf.Reader]
) -> None:
    open_reader(sim.path)
    assert tqrf.probe(sim.path).outcome is tqrf.ProbeOutcome.BUSY


@pytest.mark.parametrize("port, deadline", [("", 0), ("/dev/x", -1), ("/dev/x", 2**32)])
def test_probe_refuses_bad_arguments(port: str, deadline: int) -> None:
    with pytest.raises(tqrf.BadArgument):
        tqrf.probe(port, deadline_ms=deadline)


@pytest.mark.skipif(os.name == "nt", reason="POSIX device names")
@pytest.mark.parametrize(
    "name, path",
    [("COM1", "/dev/ttyS0"), ("com12", "/dev/ttyS11"), ("COM999", "/dev/ttyS998"),
     ("COM0", None), ("COM1000", None), ("COM3x", None), ("/dev/ttyUSB0", None)],
)
def test_com_names_map_as_the_library_opens_them(name: str, path: Optional[str]) -> None:
    if path is None:
        with pytest.raises(tqrf.BadArgument):
            tqrf.com_port_path(name)
    else:
        assert tqrf.com_port_path(name) == path


@pytest.mark.parametrize(
    "make, answer, words",
    [
        ("echo", tqrf.Answer.ECHO, "echoes what is sent"),
        ("silent", tqrf.Answer.SILENCE, "nothing came back"),
    ],
)
def test_failed_command_says_what_came_back(
    line: Callable[[bool], Line],
    open_reader: Callable[..., tqrf.Reader],
    make: str,
    answer: tqrf.Answer,
    words: str,
) -> None:
    reader = open_reader(line(make == "echo").path, slack_ms=60)
    with pytest.raises(tqrf.ReplyError) as caught:
        reader.link_test()
    assert caught.value.answer == answer
    assert words in str(caught.value)
    assert reader.last_answer is answer


def test_last_answer_after_a_good_exchange(reader: tqrf.Reader) -> None:
    assert reader.last_answer is tqrf.Answer.NONE
    reader.link_test()
    assert reader.last_answer is tqrf.Answer.FRAME


def fake_usb_adapter(root: Path, name: str, target: str) -> None:
    """A USB FTDI adapter laid out as sysfs lays it out, whose /dev node leads to `target`."""
    usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2"
    port = usb / "1-2:1.0" / name
    (port / "tty" / name).mkdir(parents=True)
    (root / "sys/bus/usb-serial/drivers/ftdi_sio").mkdir(parents=True, exist_ok=True)
    (root / "sys/class/tty").mkdir(parents=True, exist_ok=True)
    (root / "dev/serial/by-id").mkdir(parents=True, exist_ok=True)
    for attr, value in [
        ("idVendor", "0403"),
        ("idProduct", "6001"),
        ("serial", "A600BC12"),
        ("manufacturer", "FTDI"),
        ("product", "FT232R USB UART"),
    ]:
        (usb / attr).write_text(value + "\n")

    def link(at: Path, to: Path) -> None:
        at.symlink_to(os.path.relpath(to, at.parent))

    link(port / "subsystem", root / "sys/bus/usb-serial")
    link(port / "driver", root / "sys/bus/usb-serial/drivers/ftdi_sio")
    link(port / "tty" / name / "device", port)
    link(root / "sys/class/tty" / name, port / "tty" / name)
    (root / "dev" / name).symlink_to(target)
    link(root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0", root / "dev" / name)


def test_listing_reads_the_device_tree_and_its_port_probes_as_the_reader(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, sim: tqrf.sim.Simulator
) -> None:
    fake_usb_adapter(tmp_path, "ttyUSB0", sim.path)
    (tmp_path / "sys/devices/virtual/tty/tty1").mkdir(parents=True)
    (tmp_path / "sys/class/tty/tty1").symlink_to("../../devices/virtual/tty/tty1")
    monkeypatch.setenv("TQRF_DEVICE_ROOT", str(tmp_path))

    ports = tqrf.list_ports()
    assert len(ports) == 1
    p = ports[0]
    assert p.device == str(tmp_path / "dev/ttyUSB0")
    assert p.stable_path == str(
        tmp_path / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0"
    )
    assert (p.usb_vendor_id, p.usb_product_id) == (0x0403, 0x6001)
    assert (p.serial_number, p.manufacturer, p.product) == ("A600BC12", "FTDI", "FT232R USB UART")
    assert p.description == "FT232R USB UART (FTDI)"
    assert p.transport is tqrf.Transport.USB
    assert p.driver == "ftdi_sio"
    assert p.mark_space is tqrf.MarkSpace.YES
    assert tqrf.probe(p.stable_path, deadline_ms=1040).outcome is tqrf.ProbeOutcome.READER


def test_empty_device_tree_lists_nothing(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("TQRF_DEVICE_ROOT", str(tmp_path))
    assert tqrf.list_ports() == []
