"""Small value types: keys, cards, card images, modes, trace events."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Iterator, List, NamedTuple, Optional, Sequence, Union, overload

from .errors import BadArgument

#: What the package accepts wherever the C API takes a byte buffer.
BytesLike = Union[bytes, bytearray, memoryview]

BLOCKS = 64
BLOCK_SIZE = 16
SECTORS = 16
BLOCKS_PER_SECTOR = 4
#: The most data bytes a reply carries (TQRF_REPLY_DATA_MAX): the hardware version, an E2PROM
#: read and the clock are at most this long.
REPLY_DATA_MAX = 101
#: Bytes that always hold the text of a refusal (TQRF_REFUSAL_TEXT_MAX).
REFUSAL_TEXT_MAX = 256

__all__ = [
    "BLOCKS",
    "BLOCK_SIZE",
    "REFUSAL_TEXT_MAX",
    "REPLY_DATA_MAX",
    "SECTORS",
    "Card",
    "CardImage",
    "Key",
    "KeyType",
    "Option",
    "ReplyMode",
    "RequestMode",
    "TraceEvent",
    "TraceKind",
    "RetryAction",
    "ReaderStats",
]


class KeyType(enum.IntEnum):
    """Which of a sector's two keys a load or an authentication uses."""

    A = 0
    B = 1


class RequestMode(enum.IntEnum):
    """Which cards a request or a find wakes."""

    IDLE = 0  #: idle cards only (REQA)
    ALL = 1  #: all cards, halted ones too (WUPA)


class ReplyMode(enum.IntEnum):
    """How a reader takes each reply."""

    FIXED = 0  #: pause the command's fixed time, then read once (as the legacy exports do)
    COMPLETE = 1  #: return as soon as the reply frame is complete (the default)


class Option(enum.IntEnum):
    """Options of :meth:`tqrf.Reader.set_option` and :meth:`tqrf.Reader.get_option`."""

    REPLY_MODE = 1
    REPLY_SLACK_MS = 2
    ATTEMPTS = 3  #: attempts in all after a lost reply, where a repeat is safe (1 to 10)


class TraceKind(enum.IntEnum):
    """What a trace event shows."""

    ADDRESS = 1  #: the address byte, sent with mark parity
    FRAME = 2  #: the request frame, sent with space parity
    REPLY = 3  #: the bytes taken as the reply (also when they fail the checks)
    RESULT = 4  #: the end of a call; :attr:`TraceEvent.result` is its result
    #: a lost reply dealt with: data is the command code, the attempt about to be made and
    #: what was done (:class:`RetryAction`); :attr:`TraceEvent.result` the failure it followed
    RETRY = 5


class RetryAction(enum.IntEnum):
    """What was done after a lost reply (byte 2 of a :attr:`TraceKind.RETRY` event)."""

    REPEATED = 1  #: the command was sent again after the line was purged
    RESELECTED = 2  #: the authentication was sent again after the card was selected again
    NOT_THERE = 3  #: the write was sent again: reading back showed it not there
    SETTLED = 4  #: not repeated: reading back showed it done
    UNCHANGED = 5  #: the value change was made again: reading back showed the value unchanged


class ReaderStats(NamedTuple):
    """A reader's counters (:attr:`tqrf.Reader.stats`), from its open on.

    Attributes:
        requests: command calls that went to the line.
        retries: commands sent again, and value changes made again, after a lost reply.
        recoveries: calls that lost a reply and still succeeded.
        failures: calls that ended on a lost reply (ReplyError), NotApplied or ValueConflict.
    """

    requests: int
    retries: int
    recoveries: int
    failures: int


class TraceEvent(NamedTuple):
    """One event of a reader's trace.

    Attributes:
        kind: a :class:`TraceKind` (a plain int for a kind this package does not know).
        result: the call's result for :attr:`TraceKind.RESULT`, else 0.
        data: the bytes of the event (empty for a result).
        time_us: monotonic time in microseconds, the same origin for every reader.
    """

    kind: Union[TraceKind, int]
    result: int
    data: bytes
    time_us: int


class Key(bytes):
    """A 6-byte card key. A :class:`bytes` object, so it goes anywhere bytes go.

    >>> Key.from_hex("A0A1A2A3A4A5") == Key(b"\\xa0\\xa1\\xa2\\xa3\\xa4\\xa5")
    True
    """

    SIZE = 6
    #: The key of a factory-fresh card, FF FF FF FF FF FF.
    DEFAULT: "Key"

    def __new__(cls, value: BytesLike) -> "Key":
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise BadArgument(f"a key is 6 bytes, not {type(value).__name__}")
        raw = bytes(value)
        if len(raw) != cls.SIZE:
            raise BadArgument(f"a key is 6 bytes, not {len(raw)}")
        return super().__new__(cls, raw)

    @classmethod
    def from_hex(cls, text: str) -> "Key":
        """A key from 12 hex digits (spaces and colons allowed between them)."""
        digits = text.replace(" ", "").replace(":", "")
        try:
            raw = bytes.fromhex(digits)
        except ValueError:
            raise BadArgument(f"not a hex key: {text!r}") from None
        return cls(raw)

    def __repr__(self) -> str:
        return f"Key.from_hex({self.hex().upper()!r})"


Key.DEFAULT = Key(b"\xff" * 6)


@dataclass(frozen=True)
class Card:
    """A card found by :meth:`tqrf.Reader.find`.

    Attributes:
        type: the card type, 2 bytes (04 00 for a Mifare Classic 1K).
        serial: the serial number (UID), 4 bytes in arrival order.
        size: the size byte of the select answer (SAK; 0x08 for a Mifare Classic 1K).
    """

    type: bytes
    serial: bytes
    size: int

    @property
    def uid(self) -> str:
        """The serial number as 8 upper-case hex digits, for example ``"3A7C91E5"``."""
        return self.serial.hex().upper()


class CardImage(Sequence[Optional[bytes]]):
    """The 64 blocks of a Mifare Classic 1K card as :meth:`tqrf.Reader.dump` read them.

    Indexing gives a block: 16 bytes, or None for a block that could not be read (its
    sector did not open with any key given, or the access bits refuse the read). Trailers
    hold what the card shows: key A always reads as zeros, key B only where the access bits
    let it be read.

    Attributes:
        card: the card that was read.
        keys: per sector, the key that opened it, or None.
    """

    def __init__(
        self, card: Card, blocks: Sequence[Optional[bytes]], keys: Sequence[Optional[Key]]
    ):
        if len(blocks) != BLOCKS or len(keys) != SECTORS:
            raise BadArgument("a card image has 64 blocks and 16 sectors")
        self.card = card
        self._blocks: List[Optional[bytes]] = list(blocks)
        self.keys: List[Optional[Key]] = list(keys)

    @overload
    def __getitem__(self, index: int) -> Optional[bytes]: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[Optional[bytes]]: ...

    def __getitem__(
        self, index: Union[int, slice]
    ) -> Union[Optional[bytes], Sequence[Optional[bytes]]]:
        return self._blocks[index]

    def __len__(self) -> int:
        return BLOCKS

    def __iter__(self) -> Iterator[Optional[bytes]]:
        return iter(self._blocks)

    @property
    def complete(self) -> bool:
        """True when every block was read."""
        return all(b is not None for b in self._blocks)

    @property
    def missing(self) -> List[int]:
        """The numbers of the blocks that could not be read."""
        return [i for i, b in enumerate(self._blocks) if b is None]

    def to_bytes(self, fill: int = 0) -> bytes:
        """The 1024-byte image, with `fill` in every byte of a block that was not read."""
        pad = bytes([fill]) * BLOCK_SIZE
        return b"".join(b if b is not None else pad for b in self._blocks)

    def __repr__(self) -> str:
        return f"<CardImage {self.card.uid}: {BLOCKS - len(self.missing)} of 64 blocks>"
