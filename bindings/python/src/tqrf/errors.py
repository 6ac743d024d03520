"""The exceptions of the tqrf package. Every one derives from :class:`Error`."""

from __future__ import annotations

from typing import Dict, Optional, Type

# The library's own result codes: TQRF_ERR_* of the C header, without the prefix. A test holds
# this list, and the table of exceptions below, to the header's.
ERR_FAILED = -1
ERR_PORT_IN_USE = -80
ERR_PORT_OPEN_FAILED = -81
ERR_PORT_NOT_OPEN = -82
ERR_SEND_FAILED = -83
ERR_REPLY_CHECKSUM = -85
ERR_REPLY_FRAME = -86
ERR_REPLY_LENGTH = -87
ERR_DEVICE_LOST = -88
ERR_BAD_ARGUMENT = -89
ERR_BUFFER_TOO_SMALL = -90
ERR_PARITY_UNSUPPORTED = -91
ERR_NOT_APPLIED = -92
ERR_VALUE_CONFLICT = -93


__all__ = [
    "BadArgument",
    "BufferTooSmall",
    "DeviceLost",
    "Error",
    "LibraryNotFound",
    "NotApplied",
    "PortError",
    "PortOpenError",
    "ReaderClosed",
    "ReaderStatus",
    "ReplyChecksumError",
    "ReplyError",
    "ReplyFrameError",
    "ReplyLengthError",
    "SendError",
    "ValueConflict",
    "ValueRefused",
]


class Error(Exception):
    """Base class of every error of the package.

    Attributes:
        code: the library's result code (a negative code, or the reader's status byte
            1 to 255), or None for errors found by the package itself without a call.
        message: the text for the code (from the library's tqrf_strerror()), or the
            package's own text.
        operation: the reader operation that failed ("read", "authenticate", ...), or None.
    """

    def __init__(self, message: str, code: Optional[int] = None, operation: Optional[str] = None):
        super().__init__(message)
        self.code = code
        self.message = message
        self.operation = operation

    def __str__(self) -> str:
        where = f"{self.operation}: " if self.operation else ""
        what = f" ({self.code})" if self.code is not None else ""
        return f"{where}{self.message}{what}"


class LibraryNotFound(Error):
    """The shared library could not be found or loaded, or it lacks the reader handle API."""


class ReaderClosed(Error):
    """An operation on a reader that has been closed."""


class ReaderStatus(Error):
    """The reader refused or failed the command and answered with a non-zero status byte.

    The meaning of the byte is the reader's own; :attr:`text` is the library's words for what
    a refusal of this command means, with the byte after them ("the key is wrong, or the
    sector's access conditions keep this key out; ... (reader status 0x12)"), as the tqrf tool
    says it.

    Attributes:
        status: the reader's status byte, 1 to 255 (the same as :attr:`code`).
        text: the text for it (the same as :attr:`message`).
    """

    def __init__(self, message: str, code: int, operation: Optional[str] = None):
        super().__init__(message, code, operation)
        self.status = code
        self.text = message

    def __str__(self) -> str:
        where = f"{self.operation}: " if self.operation else ""
        hex_status = f"0x{self.status:02X}"
        if hex_status in self.text:  # the library's text names the byte itself
            return f"{where}{self.text}"
        return f"{where}reader status {hex_status}: {self.text}"


# What the failed exchange heard back (the library's TQRF_ANSWER_* values).
ANSWER_NONE = 0
ANSWER_FRAME = 1
ANSWER_SILENCE = 2
ANSWER_ECHO = 3
ANSWER_NOISE = 4

_ANSWER_TEXT: Dict[int, str] = {
    ANSWER_SILENCE: "nothing came back: check the reader's power, the cable and the line rate",
    ANSWER_ECHO: (
        "the line echoes what is sent (a loopback plug, or crossed lines?): no reader answered"
    ),
    ANSWER_NOISE: "bytes came back that are no reply frame: another device, or a wrong line rate?",
}


def answer_text(answer: int) -> Optional[str]:
    """What a failed exchange heard back, in words; None for a frame or no exchange."""
    return _ANSWER_TEXT.get(answer)


class ReplyError(Error):
    """The reader's reply was missing, incomplete or malformed. The command may or may not
    have been carried out (a write whose reply was lost may have written).

    Attributes:
        answer: what came back, one of :class:`tqrf.Answer` (silence, an echo of the request,
            bytes that are no frame, or a frame whose content was refused); the message says
            it in words.
    """

    answer: int = ANSWER_NONE

    def __str__(self) -> str:
        heard = answer_text(self.answer)
        return f"{super().__str__()}: {heard}" if heard else super().__str__()


class ReplyChecksumError(ReplyError):
    """The reply failed its XOR check (-85)."""


class ReplyFrameError(ReplyError):
    """No reply within the deadline, a short reply, or one whose size does not match its
    length field (-86)."""


class ReplyLengthError(ReplyError):
    """The reader answered status 0 without the data bytes the command's reply must carry,
    or with more of them (-87)."""


class DeviceLost(Error):
    """The operating system reports the device gone (unplugged, or the far end of a
    pseudo-terminal closed). Every later call on the reader fails the same way: close it.

    Attributes:
        os_error: the operating system's error code that showed the loss (errno, or
            GetLastError() on Windows); 0 when unknown.
    """

    def __init__(
        self, message: str, code: int, operation: Optional[str] = None, os_error: int = 0
    ):
        super().__init__(message, code, operation)
        self.os_error = os_error


class PortError(Error):
    """The serial port could not be opened or configured (-1, -80, -82; -91: the adapter cannot
    send mark or space parity), or a request was not written.

    Attributes:
        os_error: the operating system's error code, when the library reports one
            (for example errno.ENOENT for a missing device); 0 otherwise.
    """

    def __init__(
        self, message: str, code: int, operation: Optional[str] = None, os_error: int = 0
    ):
        super().__init__(message, code, operation)
        self.os_error = os_error


class PortOpenError(PortError):
    """The device did not open: missing, not permitted, already open, or not a serial
    device (-81). :attr:`os_error` tells which."""


class SendError(PortError):
    """The request was not written whole (-83)."""


class BadArgument(Error, ValueError):
    """An argument was refused, by the package (a buffer of the wrong size, a number out of
    range) or by the library (-89: a block above 63, a sector above 15, an unknown option).
    Nothing was sent."""


class BufferTooSmall(Error):
    """A variable-length reply was longer than the buffer given for it (-90)."""


class NotApplied(Error):
    """A write or value change was not carried out (-92): its reply was lost and reading back
    showed it not done, on every attempt the reader's ``attempts`` allowed. Calling again is
    safe."""


class ValueConflict(Error):
    """A value change lost its reply and the value read back is neither the value before nor
    the one expected (-93): something else changed the block.

    Attributes:
        before: the value before the change (None when not known).
        found: the value read back (None when not known).
    """

    before: Optional[int] = None
    found: Optional[int] = None


_BY_CODE: Dict[int, Type[Error]] = {
    ERR_FAILED: PortError,
    ERR_PORT_IN_USE: PortError,
    ERR_PORT_OPEN_FAILED: PortOpenError,
    ERR_PORT_NOT_OPEN: PortError,
    ERR_SEND_FAILED: SendError,
    ERR_REPLY_CHECKSUM: ReplyChecksumError,
    ERR_REPLY_FRAME: ReplyFrameError,
    ERR_REPLY_LENGTH: ReplyLengthError,
    ERR_DEVICE_LOST: DeviceLost,
    ERR_BAD_ARGUMENT: BadArgument,
    ERR_BUFFER_TOO_SMALL: BufferTooSmall,
    ERR_PARITY_UNSUPPORTED: PortError,
    ERR_NOT_APPLIED: NotApplied,
    ERR_VALUE_CONFLICT: ValueConflict,
}


def error_for(
    code: int, message: str, operation: Optional[str], os_error: int = 0, answer: int = ANSWER_NONE
) -> Error:
    """The exception for a non-zero result code. For a reply error, `answer` says what came
    back and is told in the message."""
    if 0 < code <= 255:
        return ReaderStatus(message, code, operation)
    cls = _BY_CODE.get(code, Error)
    if issubclass(cls, ReplyError):
        err = cls(message, code, operation)
        err.answer = answer
        return err
    if cls is DeviceLost:
        return DeviceLost(message, code, operation, os_error)
    if issubclass(cls, PortError):
        return cls(message, code, operation, os_error)
    return cls(message, code, operation)


class ValueRefused(Error, ValueError):
    """A purse operation (:meth:`Reader.credit`, :meth:`Reader.debit`) refused before anything
    was written: the result would go below zero or past 2147483647 and that was not allowed."""
