"""tqrf.Reader: one open reader on one serial port."""

from __future__ import annotations

import ctypes
import os
import threading
from types import TracebackType
from typing import (Any, Callable, Generic, Iterable, List, Optional, Tuple, Type, TypeVar, Union,
                    overload)

from . import _native
from ._prototypes import ReaderStatsNative
from ._types import (
    BLOCKS,
    BLOCKS_PER_SECTOR,
    REPLY_DATA_MAX,
    SECTORS,
    BytesLike,
    Card,
    CardImage,
    Key,
    KeyType,
    Option,
    ReaderStats,
    ReplyMode,
    RequestMode,
    TraceEvent,
    TraceKind,
)
from .errors import (
    ERR_DEVICE_LOST,
    ERR_FAILED,
    ERR_PORT_OPEN_FAILED,
    ERR_SEND_FAILED,
    BadArgument,
    Error,
    ReaderClosed,
    ReaderStatus,
    ValueConflict,
    ValueRefused,
    error_for,
)
from .ports import Answer

#: A trace callable: called with each :class:`TraceEvent` of the reader's exchanges.
TraceCallable = Callable[[TraceEvent], Any]

# Room for any variable-length reply.
_VAR_CAPACITY = REPLY_DATA_MAX

_I32_MIN, _I32_MAX = -(2**31), 2**31 - 1
_U32_MAX = 2**32 - 1


def _i32(name: str, value: int) -> int:
    if not isinstance(value, int):
        raise BadArgument(f"{name} must be an int, not {type(value).__name__}")
    if not _I32_MIN <= value <= _I32_MAX:
        raise BadArgument(f"{name} {value} is out of range")
    return int(value)


def _u32(name: str, value: int) -> int:
    if not isinstance(value, int):
        raise BadArgument(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= _U32_MAX:
        raise BadArgument(f"{name} {value} is not a 32-bit unsigned value")
    return int(value)


def _amount(value: int) -> int:
    if not isinstance(value, int) or not 0 <= value <= _I32_MAX:
        raise BadArgument(f"amount {value!r} is not 0 to 2147483647")
    return int(value)


def _signed(value: int) -> int:
    return value - 2**32 if value > _I32_MAX else value


def _buf(name: str, value: BytesLike, size: int) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise BadArgument(f"{name} must be {size} bytes, not {type(value).__name__}")
    raw = bytes(value)
    if len(raw) != size:
        raise BadArgument(f"{name} must be {size} bytes, not {len(raw)}")
    return raw


def _port_bytes(port: Union[str, "os.PathLike[str]"]) -> bytes:
    text = os.fspath(port)
    if not isinstance(text, str):
        raise BadArgument("the port is a COM name or a device path")
    raw = text.encode("mbcs") if os.name == "nt" else os.fsencode(text)
    if not raw or b"\0" in raw:
        raise BadArgument(f"not a port name: {text!r}")
    return raw


def _trampoline(fn: TraceCallable, local: threading.local) -> Any:
    """The C trace hook for a Python callable. It refers to the callable and the reader's
    thread-local state only, never to the reader, so that it keeps no reader alive."""

    def hook(
        _user: Optional[int], event: int, result: int, data: Any, count: int, time_us: int
    ) -> None:
        raw = ctypes.string_at(data, count) if count and data else b""
        try:
            kind: Union[TraceKind, int] = TraceKind(event)
        except ValueError:
            kind = event
        local.in_trace = True
        try:
            fn(TraceEvent(kind, result, raw, time_us))
        finally:
            local.in_trace = False

    return _native.TRACE_FN(hook)


_T = TypeVar("_T")


class _OptionProperty(Generic[_T]):
    """A settable property of the reader that is one of its options (get_option, set_option)."""

    def __init__(self, option: Option, kind: Callable[[int], _T], doc: str) -> None:
        self._option = option
        self._kind = kind
        self.__doc__ = doc

    @overload
    def __get__(self, reader: None, owner: Any) -> "_OptionProperty[_T]": ...

    @overload
    def __get__(self, reader: "Reader", owner: Any) -> _T: ...

    def __get__(self, reader: Optional["Reader"], owner: Any) -> Any:
        return self if reader is None else self._kind(reader.get_option(self._option))

    def __set__(self, reader: "Reader", value: int) -> None:
        reader.set_option(self._option, value)


class Reader:
    """One reader on one serial port, open from construction until :meth:`close`.

    Use it as a context manager::

        with tqrf.Reader("/dev/ttyUSB0") as r:      # or "COM3"
            card = r.find()
            r.login(1, tqrf.Key.DEFAULT)
            print(r.read(4).hex())

    Every operation returns its data (``bytes``, ``int``, :class:`Card`) or None, and raises
    an :class:`tqrf.Error` when the library or the reader reports a failure:
    :class:`tqrf.ReaderStatus` for a non-zero status byte, :class:`tqrf.ReplyError` for a
    missing or malformed reply, :class:`tqrf.DeviceLost`, :class:`tqrf.PortError`,
    :class:`tqrf.BadArgument`. Nothing is sent for a refused argument.

    Threads: any number of readers may be used from different threads at once. Calls on one
    reader from several threads are serialised; a sequence of calls (find, login, read) is
    not atomic, so threads sharing a reader keep their sequences apart themselves.
    :meth:`close` waits for a call in progress on another thread.

    Args:
        port: a COM name ("COM3"; on POSIX systems /dev/ttyS2) or a device path, used as
            given ("/dev/ttyUSB0", a pseudo-terminal, "\\\\.\\COM12").
        reply_mode: :attr:`ReplyMode.COMPLETE` (take each reply as soon as it is complete)
            or :attr:`ReplyMode.FIXED` (pause the command's fixed time, as the legacy
            exports do).
        slack_ms: extra milliseconds (0 to 1000) of reply deadline in complete mode, for
            slow adapters.
        attempts: attempts in all (1 to 10) when a reply is lost, late, garbled or of the
            wrong length, where a repeat is safe (reads and selections again, an
            authentication after selecting the card again, a write only when reading back
            shows it not there; see :attr:`attempts`). 1 repeats nothing.
        trace: a callable for :meth:`set_trace`, or None.
        library: the path of the shared library to use; by default the package's own
            lookup (see :func:`tqrf.load_library`).

    Raises:
        PortOpenError: the device did not open; its ``os_error`` says why.
        PortError: the line settings were refused.
        BadArgument: a reply mode or slack the library refuses.
    """

    def __init__(
        self,
        port: Union[str, "os.PathLike[str]"],
        *,
        reply_mode: ReplyMode = ReplyMode.COMPLETE,
        slack_ms: int = 0,
        attempts: int = 3,
        trace: Optional[TraceCallable] = None,
        library: Optional[Union[str, "os.PathLike[str]"]] = None,
    ) -> None:
        self._handle: Optional[int] = None
        self._lock = threading.Lock()
        self._local = threading.local()
        self._trace: Optional[TraceCallable] = None
        self._trace_hook: Any = None
        self._lib = _native.load(library)
        self.port: str = os.fspath(port)
        raw = _port_bytes(port)
        handle = ctypes.c_void_p()
        rc = self._lib.dll.tqrf_reader_open(raw, ctypes.byref(handle))
        if rc != 0:
            os_error = self._lib.dll.tqrf_reader_os_error(None)
            message = f"{self._lib.strerror(rc)}: {self.port}"
            if os_error:
                message += f" ({os.strerror(os_error)})"
            raise error_for(rc, message, "open", os_error)
        self._handle = handle.value
        try:
            self.set_option(Option.REPLY_MODE, reply_mode)
            self.set_option(Option.REPLY_SLACK_MS, slack_ms)
            self.set_option(Option.ATTEMPTS, attempts)
            if trace is not None:
                self.set_trace(trace)
        except BaseException:
            self.close()
            raise

    # ---- life cycle ---------------------------------------------------------------------

    def close(self) -> None:
        """Close the reader: the port's earlier settings are restored and it is released.
        Closing a closed reader does nothing. Waits for a call in progress on another
        thread to return."""
        self._check_not_in_trace("close")
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is not None:
                self._lib.dll.tqrf_reader_close(handle)
            self._trace = None
            self._trace_hook = None

    @property
    def closed(self) -> bool:
        """True once the reader has been closed."""
        return self._handle is None

    def __enter__(self) -> "Reader":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None) is not None:
                self.close()
        except Exception:  # noqa: BLE001 - nothing can be reported from here
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<tqrf.Reader {self.port!r} {state}>"

    # ---- calling the library ------------------------------------------------------------

    def _check_not_in_trace(self, operation: str) -> None:
        if getattr(self._local, "in_trace", False):
            raise Error("a trace callable must not call its own reader", None, operation)

    def _call(self, operation: str, name: str, *args: Any) -> None:
        self._check_not_in_trace(operation)
        with self._lock:
            self._call_locked(operation, name, *args)

    def _call_locked(self, operation: str, name: str, *args: Any) -> None:
        handle = self._handle
        if handle is None:
            raise ReaderClosed("the reader is closed", None, operation)
        rc = getattr(self._lib.dll, name)(handle, *args)
        if rc == 0:
            return
        os_error = 0
        if rc in (ERR_DEVICE_LOST, ERR_SEND_FAILED, ERR_FAILED, ERR_PORT_OPEN_FAILED):
            os_error = int(self._lib.dll.tqrf_reader_os_error(handle))
        answer = int(self._lib.dll.tqrf_reader_last_answer(handle))
        # A refusal is told by what it means for this command (the library's words).
        text = (self._lib.last_refusal(handle) if 0 < rc <= 255 else "") or self._lib.strerror(rc)
        if os_error:
            text += f": {os.strerror(os_error)}"
        raise error_for(rc, text, operation, os_error, answer)

    def _variable(self, operation: str, name: str, *args: Any) -> bytes:
        out = (ctypes.c_uint8 * _VAR_CAPACITY)()
        length = ctypes.c_uint32()
        self._call(operation, name, *args, out, _VAR_CAPACITY, ctypes.byref(length))
        return bytes(out[: length.value])

    @property
    def last_answer(self) -> Answer:
        """What the last exchange heard back: a frame, silence, an echo of the request (a
        loopback plug or crossed lines), or bytes that are no frame. :class:`ReplyError`
        carries the same as its ``answer``."""
        self._check_not_in_trace("last_answer")
        with self._lock:
            handle = self._handle
            if handle is None:
                raise ReaderClosed("the reader is closed", None, "last_answer")
            return Answer(int(self._lib.dll.tqrf_reader_last_answer(handle)))

    # ---- settings -----------------------------------------------------------------------

    def set_option(self, option: Union[Option, int], value: int) -> None:
        """Set an option (:class:`Option`). Raises BadArgument for an unknown option or a
        value outside its range."""
        self._call("set_option", "tqrf_reader_set_option", _i32("option", option),
                   _i32("value", value))

    def get_option(self, option: Union[Option, int]) -> int:
        """The value of an option (:class:`Option`)."""
        value = ctypes.c_int32()
        self._call("get_option", "tqrf_reader_get_option", _i32("option", option),
                   ctypes.byref(value))
        return value.value

    reply_mode = _OptionProperty(
        Option.REPLY_MODE, ReplyMode, """How replies are taken (:class:`ReplyMode`); settable.""")
    slack_ms = _OptionProperty(
        Option.REPLY_SLACK_MS, int,
        """Extra milliseconds of reply deadline in complete mode (0 to 1000); settable.""")
    attempts = _OptionProperty(
        Option.ATTEMPTS, int,
        """Attempts in all (1 to 10) for a command whose reply is lost, late, garbled or of
        the wrong length, where a repeat is safe; settable. A reader status is never
        repeated; halt, reset, beep, value init, increment, decrement, restore and transfer
        never are (:meth:`apply_value` settles a lost value change by reading back). Each
        repeat shows in the trace (:attr:`TraceKind.RETRY`) and in :attr:`stats`.""")

    @property
    def stats(self) -> ReaderStats:
        """The reader's counters: requests, retries, recoveries, failures."""
        native = ReaderStatsNative()
        native.size = ctypes.sizeof(ReaderStatsNative)
        self._call("stats", "tqrf_reader_get_stats", ctypes.byref(native))
        return ReaderStats(native.requests, native.retries, native.recoveries, native.failures)

    def set_baud(self, rate: int) -> None:
        """Set the line rate with no parity. Every exchange sets the line back to 19200
        baud with its own parity, so the rate holds only until the next command."""
        self._call("set_baud", "tqrf_reader_set_baud", _u32("rate", rate))

    def set_trace(self, fn: Optional[TraceCallable]) -> None:
        """Call `fn` with a :class:`TraceEvent` for every byte sequence sent and taken and
        for every call's result, from the next call on; None removes it.

        The callable runs on the thread that made the call, inside the exchange: it should
        return quickly, and it must not call this reader (that raises :class:`Error`).
        Exceptions it raises are reported as unraisable (``sys.unraisablehook``) and do not
        stop the operation. The reader keeps the callable alive while it is set. A trace
        shows the keys that :meth:`loadkey` sends.
        """
        if fn is not None and not callable(fn):
            raise BadArgument("the trace must be callable or None")
        hook = _trampoline(fn, self._local) if fn is not None else _native.TRACE_FN(0)
        self._check_not_in_trace("set_trace")
        with self._lock:
            self._call_locked("set_trace", "tqrf_reader_set_trace", hook, None)
            # The hook that was set may be dropped now: no exchange runs while the lock is
            # held, and the library no longer refers to it.
            self._trace = fn
            self._trace_hook = hook if fn is not None else None

    @property
    def trace(self) -> Optional[TraceCallable]:
        """The trace callable that is set, or None."""
        return self._trace

    def os_error(self) -> int:
        """The operating system's error code of the reader's last failed system call (for
        a reader that raised DeviceLost, the error that showed the loss); 0 when none."""
        self._check_not_in_trace("os_error")
        with self._lock:
            if self._handle is None:
                raise ReaderClosed("the reader is closed", None, "os_error")
            return int(self._lib.dll.tqrf_reader_os_error(self._handle))

    # ---- card selection -----------------------------------------------------------------

    def request(self, mode: RequestMode = RequestMode.IDLE) -> bytes:
        """Ask the cards in the field to answer; returns the card type (2 bytes)."""
        out = (ctypes.c_uint8 * 2)()
        self._call("request", "tqrf_reader_request", _i32("mode", mode), out)
        return bytes(out)

    def anticoll(self, arg: int = 0) -> bytes:
        """Single out one card; returns its serial number (4 bytes, arrival order).
        `arg` (0 to 255) is sent as the anticollision parameter."""
        out = (ctypes.c_uint8 * 4)()
        self._call("anticoll", "tqrf_reader_anticoll", _i32("arg", arg), out)
        return bytes(out)

    def select(self, serial: BytesLike) -> int:
        """Select the card with this serial number (4 bytes); returns its size byte."""
        size = ctypes.c_uint8()
        self._call("select", "tqrf_reader_select", _buf("serial", serial, 4),
                   ctypes.byref(size))
        return size.value

    def find(self, mode: RequestMode = RequestMode.IDLE) -> Card:
        """Find and select a card in one exchange (request, anticollision and select done
        by the reader)."""
        card_type = (ctypes.c_uint8 * 2)()
        serial = (ctypes.c_uint8 * 4)()
        size = ctypes.c_uint8()
        self._call("find", "tqrf_reader_find", _i32("mode", mode), card_type, serial,
                   ctypes.byref(size))
        return Card(bytes(card_type), bytes(serial), size.value)

    def halt(self) -> None:
        """Halt the selected card."""
        self._call("halt", "tqrf_reader_halt")

    # ---- keys and authentication --------------------------------------------------------

    def loadkey(self, key_type: KeyType, sector: int, key: BytesLike) -> None:
        """Load a 6-byte key into the reader for a key type and sector (0 to 15)."""
        self._call("loadkey", "tqrf_reader_loadkey", _i32("key_type", key_type),
                   _i32("sector", sector), _buf("key", key, 6))

    def authenticate(self, key_type: KeyType, sector: int) -> None:
        """Authenticate a sector (0 to 15) of the selected card with the loaded key. A
        failed authentication drops the card out of the sequence: find it again."""
        self._call("authenticate", "tqrf_reader_authenticate", _i32("key_type", key_type),
                   _i32("sector", sector))

    def login(self, sector: int, key: BytesLike, key_type: KeyType = KeyType.A) -> None:
        """:meth:`loadkey` then :meth:`authenticate`: open a sector with a key."""
        self.loadkey(key_type, sector, key)
        self.authenticate(key_type, sector)

    # ---- blocks and values --------------------------------------------------------------

    def read(self, block: int) -> bytes:
        """Read a block (0 to 63): 16 bytes."""
        out = (ctypes.c_uint8 * 16)()
        self._call("read", "tqrf_reader_read", _i32("block", block), out)
        return bytes(out)

    def write(self, block: int, data: BytesLike) -> None:
        """Write 16 bytes into a block (0 to 63). Block 0 and trailers are sent like any
        block: a wrong trailer can lock a sector for good."""
        self._call("write", "tqrf_reader_write", _i32("block", block), _buf("data", data, 16))

    def initval(self, block: int, value: int) -> None:
        """Make a block a value block holding `value`, a signed 32-bit number (-2**31 to
        2**31-1; 2**31 to 2**32-1 are taken as the same 32 bits, that is as negative)."""
        if not isinstance(value, int) or not _I32_MIN <= value <= _U32_MAX:
            raise BadArgument(f"value {value!r} is not a 32-bit value (-2**31 to 2**31-1)")
        self._call("initval", "tqrf_reader_initval", _i32("block", block), value & _U32_MAX)

    def readval(self, block: int) -> int:
        """Read a value block: its value, a signed 32-bit number (-2**31 to 2**31-1), as the
        tool and the C++ API give it."""
        value = ctypes.c_uint32()
        self._call("readval", "tqrf_reader_readval", _i32("block", block), ctypes.byref(value))
        return value.value - 2**32 if value.value > _I32_MAX else value.value

    def apply_value(self, block: int, delta: int) -> Tuple[int, int]:
        """Change a value block by `delta` (-2**31 to 2**31-1) and write it back into the same
        block, exactly once: read, increment or decrement, transfer. A lost reply is settled
        by reading the value back: done, not done (made again from the start, within
        :attr:`attempts`), or neither. Returns (before, after), signed.

        Raises:
            NotApplied: not done after the last attempt (calling again is safe).
            ValueConflict: the value read back is neither; its ``before`` and ``found``
                say both.
            ReplyError: a lost reply that could not be settled: not known whether done.
        """
        delta = _i32("delta", delta)
        before = ctypes.c_uint32()
        after = ctypes.c_uint32()
        try:
            self._call("apply_value", "tqrf_reader_value_apply", _i32("block", block), delta,
                       ctypes.byref(before), ctypes.byref(after))
        except ValueConflict as e:
            e.before, e.found = _signed(before.value), _signed(after.value)
            e.message = (f"{e.message}: block {block} held {e.before} before, now holds "
                         f"{e.found}, expected {_signed((before.value + delta) & _U32_MAX)}")
            raise
        return _signed(before.value), _signed(after.value)

    def credit(self, block: int, amount: int, *, allow_wrap: bool = False) -> int:
        """Add `amount` (0 to 2**31-1) to a value block and write the result back into it:
        the purse operation. The balance is read first; a result past 2**31-1 raises
        :class:`ValueRefused` and nothing is written, unless `allow_wrap` (the card then
        wraps it to a negative value). The change is :meth:`apply_value`: made exactly once,
        a lost reply settled by reading back. Returns the new balance. The sector must be
        open."""
        amount = _amount(amount)
        balance = self.readval(block)
        if balance + amount > _I32_MAX and not allow_wrap:
            raise ValueRefused(
                f"block {block} holds {balance}; {balance} + {amount} does not fit a value "
                "block (at most 2147483647): nothing was written (allow_wrap=True wraps it)")
        return self.apply_value(block, amount)[1]

    def debit(self, block: int, amount: int, *, allow_negative: bool = False,
              allow_wrap: bool = False) -> int:
        """Subtract `amount` (0 to 2**31-1) from a value block and write the result back into
        it, as :meth:`credit` adds. A result below zero raises :class:`ValueRefused` and
        nothing is written, unless `allow_negative`; one below -2**31 needs `allow_wrap` too.
        Returns the new balance."""
        amount = _amount(amount)
        balance = self.readval(block)
        result = balance - amount
        if result < 0 and not allow_negative:
            raise ValueRefused(
                f"block {block} holds {balance}; {balance} - {amount} = {result} is below "
                "zero: nothing was written (allow_negative=True allows it)")
        if result < _I32_MIN and not allow_wrap:
            raise ValueRefused(
                f"block {block} holds {balance}; {balance} - {amount} = {result} does not fit "
                "a value block (at least -2147483648): nothing was written (allow_wrap=True "
                "wraps it)")
        return self.apply_value(block, -amount)[1]

    def increment(self, block: int, amount: int) -> None:
        """Add `amount` to a value block into the transfer buffer (then :meth:`transfer`)."""
        self._call("increment", "tqrf_reader_increment", _i32("block", block),
                   _u32("amount", amount))

    def decrement(self, block: int, amount: int) -> None:
        """Subtract `amount` from a value block into the transfer buffer."""
        self._call("decrement", "tqrf_reader_decrement", _i32("block", block),
                   _u32("amount", amount))

    def restore(self, block: int) -> None:
        """Load a value block unchanged into the transfer buffer."""
        self._call("restore", "tqrf_reader_restore", _i32("block", block))

    def transfer(self, block: int) -> None:
        """Write the transfer buffer into a block."""
        self._call("transfer", "tqrf_reader_transfer", _i32("block", block))

    def dump(
        self,
        keys: Union[BytesLike, Iterable[BytesLike]] = Key.DEFAULT,
        key_type: KeyType = KeyType.A,
        *,
        serial: Optional[BytesLike] = None,
    ) -> CardImage:
        """Read every block of a Mifare Classic 1K card into a :class:`CardImage`.

        Each sector is opened with the first of `keys` (one key, or several to try in turn)
        that authenticates; blocks of sectors that none opens, and blocks the access bits
        refuse, are None in the image. The card is the one :meth:`find` finds (with
        :attr:`RequestMode.ALL`), or the one with `serial`. A card that leaves the field,
        a lost reply or a lost device raises as the operations do.
        """
        key_list = self._key_list(keys)
        if serial is None:
            card = self.find(RequestMode.ALL)
        else:
            raw_serial = _buf("serial", serial, 4)
            card_type = self.request(RequestMode.ALL)
            card = Card(card_type, raw_serial, self.select(raw_serial))
        blocks: List[Optional[bytes]] = [None] * BLOCKS
        opened: List[Optional[Key]] = [None] * SECTORS
        for sector in range(SECTORS):
            for key in key_list:
                self.loadkey(key_type, sector, key)
                try:
                    self.authenticate(key_type, sector)
                except ReaderStatus:
                    self._wake(card)  # a failed authentication drops the card
                    continue
                opened[sector] = key
                first = sector * BLOCKS_PER_SECTOR
                for block in range(first, first + BLOCKS_PER_SECTOR):
                    try:
                        blocks[block] = self.read(block)
                    except ReaderStatus:
                        # A refused read may drop the card as well: pick it up again.
                        self._wake(card)
                        self.authenticate(key_type, sector)
                break
        return CardImage(card, blocks, opened)

    def _wake(self, card: Card) -> None:
        self.request(RequestMode.ALL)
        self.select(card.serial)

    @staticmethod
    def _key_list(keys: Union[BytesLike, Iterable[BytesLike]]) -> List[Key]:
        if isinstance(keys, (bytes, bytearray, memoryview)):
            return [Key(keys)]
        result = [Key(k) for k in keys]
        if not result:
            raise BadArgument("dump needs at least one key")
        return result

    # ---- the reader device --------------------------------------------------------------

    def reset(self) -> None:
        """Send the reader its reset command."""
        self._call("reset", "tqrf_reader_reset")

    def hardware_version(self) -> bytes:
        """The reader's hardware version, as the bytes it sends (often ASCII text)."""
        return self._variable("hardware_version", "tqrf_reader_hardware_version")

    def id(self) -> int:
        """The reader's identity number."""
        value = ctypes.c_uint32()
        self._call("id", "tqrf_reader_id", ctypes.byref(value))
        return value.value

    def e2_read(self, address: int) -> bytes:
        """Read the RC500 chip's E2PROM from an address (0 to 255): the bytes the reader
        sends."""
        return self._variable("e2_read", "tqrf_reader_e2_read", _i32("address", address))

    def e2_write(self, address: int, data: BytesLike) -> None:
        """Write 16 bytes to the RC500 chip's E2PROM at an address (0 to 127). It holds the
        chip's configuration: a wrong write can make the reader unusable."""
        self._call("e2_write", "tqrf_reader_e2_write", _i32("address", address),
                   _buf("data", data, 16))

    def link_test(self) -> None:
        """Test the link to the reader."""
        self._call("link_test", "tqrf_reader_link_test")

    def beep(self, mode: int, duration: int) -> None:
        """Sound the beeper for `duration` x 10 ms (0 to 240). Mode 0 returns when the beep
        is over; other modes (1 to 255) return at once."""
        self._call("beep", "tqrf_reader_beep", _i32("mode", mode), _i32("duration", duration))

    def clock_read(self) -> bytes:
        """The reader's clock, as the bytes it sends (their layout is the reader's)."""
        return self._variable("clock_read", "tqrf_reader_clock_read")

    def clock_set(self, clock: BytesLike) -> None:
        """Set the reader's clock from 7 bytes, sent unchanged."""
        self._call("clock_set", "tqrf_reader_clock_set", _buf("clock", clock, 7))
