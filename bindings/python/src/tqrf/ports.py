"""Finding the reader: the serial ports the system knows, and what answers on a port."""

from __future__ import annotations

import ctypes
import enum
import os
from dataclasses import dataclass
from typing import List, Optional, Union

from . import _native
from .errors import BadArgument, error_for

PathArg = Union[str, "os.PathLike[str]"]


class Transport(enum.IntEnum):
    """How a port is attached."""

    BUILTIN = 0  #: a UART of the computer itself
    USB = 1  #: a USB-serial adapter or a USB device with a serial interface
    BLUETOOTH = 2  #: a Bluetooth serial link (rfcomm)
    OTHER = 3


class MarkSpace(enum.IntEnum):
    """Whether the port's driver is known to carry mark and space parity, which the reader
    needs to see its address byte."""

    NO = 0  #: the driver drops it: the reader will not answer through this adapter
    YES = 1
    UNKNOWN = -1


class ProbeOutcome(enum.IntEnum):
    """What :func:`probe` found on a port."""

    READER = 0  #: a reader answered the link test
    ECHO = 1  #: what was sent came back: a loopback plug, or crossed lines
    NOISE = 2  #: bytes that are no reply frame: another device, or a wrong line rate
    SILENT = 3  #: nothing came back: no reader, or one without power
    MISSING = 4  #: no such device
    NO_PERMISSION = 5  #: not permitted to open it
    BUSY = 6  #: another program holds it
    NOT_SERIAL = 7  #: not a serial device
    OPEN_FAILED = 8  #: it did not open for another reason (see os_error)
    NO_MARK_SPACE = 9  #: the adapter's driver dropped mark/space parity: use another adapter

    @property
    def label(self) -> str:
        """A short lower-case name: "reader", "echo", "no-permission", ..."""
        return self.name.lower().replace("_", "-")


class Answer(enum.IntEnum):
    """What a reader's last exchange heard back (:attr:`tqrf.Reader.last_answer`)."""

    NONE = 0  #: no exchange yet, or nothing was sent
    FRAME = 1  #: a reply frame
    SILENCE = 2  #: nothing came back
    ECHO = 3  #: what was sent came back unchanged
    NOISE = 4  #: bytes that are no reply frame


@dataclass(frozen=True)
class PortInfo:
    """One serial port the system knows. Strings are "" when not known; the USB ids are None
    when the port is not on USB."""

    device: str  #: what to open: "/dev/ttyUSB0", "COM3"
    stable_path: str  #: "/dev/serial/by-id/...", or ""
    description: str
    transport: Transport
    usb_vendor_id: Optional[int]
    usb_product_id: Optional[int]
    serial_number: str
    manufacturer: str
    product: str
    driver: str  #: the kernel driver ("ftdi_sio") or Windows driver service
    mark_space: MarkSpace


@dataclass(frozen=True)
class ProbeResult:
    """What :func:`probe` found."""

    port: str
    outcome: ProbeOutcome
    os_error: int  #: why the port did not open (errno, GetLastError()); 0 otherwise
    round_trip_us: int  #: the link test's round trip when a reader answered, else 0
    received: bytes  #: what came back for the link test
    version: bytes  #: READER: the hardware version's bytes (b"" when not given)
    reader_id: int  #: READER: the identity number (0 when not given)


def _text(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8", "replace") if raw else ""


def list_ports(library: Optional[PathArg] = None) -> List[PortInfo]:
    """The serial ports the system knows, in name order. Opens nothing, sends nothing.

    On Linux the listing reads sysfs (``TQRF_DEVICE_ROOT`` moves its root, for tests); on
    Windows the ports of ``HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM``.

    Raises:
        Error: the list could not be made (out of memory).
    """
    lib = _native.load(library)
    ports = ctypes.POINTER(_native.PortInfo2)()
    count = ctypes.c_uint32()
    rc = lib.dll.tqrf_list_ports2(
        ctypes.sizeof(_native.PortInfo2), ctypes.byref(ports), ctypes.byref(count)
    )
    if rc != 0:
        raise error_for(rc, lib.strerror(rc), "list_ports")
    try:
        out = []
        for i in range(count.value):
            p = ports[i]
            out.append(
                PortInfo(
                    device=_text(p.device),
                    stable_path=_text(p.stable_path),
                    description=_text(p.description),
                    transport=Transport(p.transport),
                    usb_vendor_id=p.usb_vendor_id if p.usb_vendor_id >= 0 else None,
                    usb_product_id=p.usb_product_id if p.usb_product_id >= 0 else None,
                    serial_number=_text(p.serial_number),
                    manufacturer=_text(p.manufacturer),
                    product=_text(p.product),
                    driver=_text(p.driver),
                    mark_space=MarkSpace(p.mark_space),
                )
            )
        return out
    finally:
        lib.dll.tqrf_free_ports2(ports)


def probe(port: PathArg, deadline_ms: int = 0, library: Optional[PathArg] = None) -> ProbeResult:
    """Open `port` exclusively, send one link test and say what answered.

    Only a reader that answered the link test is asked two more things, its hardware version
    and identity; nothing else is ever written, and never to a port another program holds.
    A port that does not open is an outcome (MISSING, BUSY, ...), not an exception.

    Args:
        port: "COMn" or a device path (a by-id path, a pseudo-terminal).
        deadline_ms: how long to wait for the link test's reply, 40 to 1040 ms (brought
            into that range); 0 for the default, 100 ms.

    Raises:
        BadArgument: an empty port name, or a deadline that is not a 32-bit unsigned int.
    """
    name = os.fspath(port)
    if not isinstance(name, str) or not name or "\0" in name:
        raise BadArgument(f"not a port name: {name!r}", None, "probe")
    if not isinstance(deadline_ms, int) or isinstance(deadline_ms, bool):
        raise BadArgument("deadline_ms must be an int", None, "probe")
    if not 0 <= deadline_ms <= 0xFFFFFFFF:
        raise BadArgument(f"deadline_ms {deadline_ms} is out of range", None, "probe")
    lib = _native.load(library)
    result = _native.ProbeResult2()
    result.size = ctypes.sizeof(result)
    rc = lib.dll.tqrf_probe2(os.fsencode(name), deadline_ms, ctypes.byref(result))
    if rc != 0:
        raise error_for(rc, lib.strerror(rc), "probe")
    return ProbeResult(
        port=name,
        outcome=ProbeOutcome(result.outcome),
        os_error=result.os_error,
        round_trip_us=result.round_trip_us,
        received=bytes(result.bytes[: min(result.received, len(result.bytes))]),
        version=bytes(result.version[: min(result.version_length, len(result.version))]),
        reader_id=result.reader_id,
    )


def com_port_path(name: str, library: Optional[PathArg] = None) -> str:
    """The device a COM port name opens, as :func:`probe` and :class:`tqrf.Reader` open it:
    "/dev/ttyS2" for "COM3" on POSIX systems, "\\\\.\\COM3" on Windows.

    Raises:
        BadArgument: `name` is no COM name of a port ("COM" and 1 to 999 in decimal digits).
    """
    if not isinstance(name, str) or "\0" in name:
        raise BadArgument(f"not a COM port name: {name!r}", None, "com_port_path")
    lib = _native.load(library)
    path = (ctypes.c_uint8 * 64)()
    rc = lib.dll.tqrf_com_port_path(name.encode("utf-8"), path, len(path))
    if rc != 0:
        raise error_for(rc, lib.strerror(rc), "com_port_path")
    return bytes(path).split(b"\0", 1)[0].decode("utf-8")


__all__ = [
    "Answer",
    "MarkSpace",
    "PortInfo",
    "ProbeOutcome",
    "ProbeResult",
    "Transport",
    "com_port_path",
    "list_ports",
    "probe",
]
