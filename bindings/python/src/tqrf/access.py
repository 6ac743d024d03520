"""Sector trailer access conditions by name, in pure Python (no reader needed).

Each block of a sector has an access condition, three bits C1 C2 C3 (0 to 7), stored in
trailer bytes 6 to 8 with inverted copies. Rights are named as the tqrf tool names them:

    data blocks:  read, write, inc, dec (decrement, transfer and restore)
    the trailer:  keya-write, bits-read, bits-write, keyb-read, keyb-write

each given to "A", "B", "AB" or "-" (nobody)::

    from tqrf import access

    bits = access.encode([access.parse_rights("read=AB,write=B")] * 3
                         + [access.parse_rights("keya-write=B,bits-read=AB,bits-write=B,"
                                                "keyb-write=B", trailer=True)])
    assert bits == bytes.fromhex("787788")
    trailer = access.make_trailer(b"\\xa0\\xa1\\xa2\\xa3\\xa4\\xa5", [4, 4, 4, 3],
                                  b"\\xb0\\xb1\\xb2\\xb3\\xb4\\xb5", user_byte=0xC1)
    print(access.describe(access.decode(trailer[6:9])))

Invalid bytes, combinations the card does not have, rights of key B under a trailer condition
that makes key B readable, and access bits no key could change again (unless ``force``) raise
:class:`AccessError` before anything is written.
"""

from __future__ import annotations

from typing import List, Optional, Sequence, Tuple, Union

__all__ = [
    "AccessError",
    "DATA_RIGHTS",
    "TRAILER_RIGHTS",
    "decode",
    "describe",
    "encode",
    "key_b_readable",
    "make_trailer",
    "parse_rights",
    "permanent",
    "rights",
    "rights_text",
]

BytesLike = Union[bytes, bytearray, memoryview]

# Who may: "-", "A", "B", "AB". The card's tables, by condition C1C2C3.
DATA_RIGHTS: Tuple[Tuple[str, str, str, str], ...] = (
    ("AB", "AB", "AB", "AB"),  # 000 transport configuration
    ("AB", "-", "-", "AB"),  # 001 value block, decrement only
    ("AB", "-", "-", "-"),  # 010 read-only
    ("B", "B", "-", "-"),  # 011
    ("AB", "B", "-", "-"),  # 100
    ("B", "-", "-", "-"),  # 101
    ("AB", "B", "B", "AB"),  # 110 value block, recharge with key B
    ("-", "-", "-", "-"),  # 111 locked
)
DATA_NAMES = ("read", "write", "inc", "dec")

# keya-write, bits-read, bits-write, keyb-read, keyb-write (key A never reads back).
TRAILER_RIGHTS: Tuple[Tuple[str, str, str, str, str], ...] = (
    ("A", "A", "-", "A", "A"),  # 000
    ("A", "A", "A", "A", "A"),  # 001 transport configuration
    ("-", "A", "-", "A", "-"),  # 010
    ("B", "AB", "B", "-", "B"),  # 011
    ("B", "AB", "-", "-", "B"),  # 100
    ("-", "AB", "B", "-", "-"),  # 101
    ("-", "AB", "-", "-", "-"),  # 110
    ("-", "AB", "-", "-", "-"),  # 111
)
TRAILER_NAMES = ("keya-write", "bits-read", "bits-write", "keyb-read", "keyb-write")


class AccessError(ValueError):
    """Access bytes or named conditions that must not be written, and why."""


def _bits(c: int) -> str:
    return f"{c >> 2 & 1}{c >> 1 & 1}{c & 1}"


def _who(text: str) -> Optional[str]:
    t = text.upper()
    if t in ("-", "NEVER", "NONE"):
        return "-"
    if t in ("A", "B"):
        return t
    if t in ("AB", "BA"):
        return "AB"
    return None


def rights(condition: int, trailer: bool = False) -> Tuple[str, ...]:
    """Who may do each thing under `condition` (0 to 7): (read, write, inc, dec) for a data
    block, (keya-write, bits-read, bits-write, keyb-read, keyb-write) for the trailer."""
    if not 0 <= condition <= 7:
        raise AccessError(f"a condition is 0 to 7, not {condition}")
    return TRAILER_RIGHTS[condition] if trailer else DATA_RIGHTS[condition]


def rights_text(condition: int, trailer: bool = False) -> str:
    """The rights as the tool writes them: "read=AB,write=B,inc=-,dec=-"."""
    names = TRAILER_NAMES if trailer else DATA_NAMES
    return ",".join(f"{n}={w}" for n, w in zip(names, rights(condition, trailer)))


def parse_rights(text: str, trailer: bool = False) -> int:
    """The condition (0 to 7) that gives exactly the named rights ("read=AB,write=B"; a right
    not named is nobody's), or the condition bits themselves ("100"). Raises AccessError when
    a name is unknown or the card has no such combination."""
    if len(text) == 3 and set(text) <= {"0", "1"}:
        return int(text, 2)
    names = TRAILER_NAMES if trailer else DATA_NAMES
    aliases = {"increment": "inc", "decrement": "dec"}
    wanted = dict.fromkeys(names, "-")
    for word in text.replace(",", " ").split():
        name, eq, who_text = word.partition("=")
        who = _who(who_text) if eq else None
        if not eq:
            raise AccessError(f'"{word}": name=WHO expected (WHO: A, B, AB or -)')
        if who is None:
            raise AccessError(f'"{word}": who may is A, B, AB or -')
        name = aliases.get(name, name)
        if name not in wanted:
            kind = "a trailer" if trailer else "a data block"
            raise AccessError(f'"{name}" is not a right of {kind} ({", ".join(names)})')
        wanted[name] = who
    want = tuple(wanted[n] for n in names)
    table = TRAILER_RIGHTS if trailer else DATA_RIGHTS
    for c, row in enumerate(table):
        if row == want:
            return c
    listing = "\n".join(f"  {_bits(c)}  {rights_text(c, trailer)}" for c in range(8))
    raise AccessError(
        "no access condition of the card gives exactly these rights; the "
        f"{'trailer' if trailer else 'data block'} conditions are:\n{listing}")


def encode(conditions: Sequence[int]) -> bytes:
    """Trailer bytes 6 to 8 for the conditions of blocks 0, 1, 2 and the trailer."""
    if len(conditions) != 4 or any(not 0 <= c <= 7 for c in conditions):
        raise AccessError("four conditions (blocks 0, 1, 2, trailer), each 0 to 7, expected")
    c1 = c2 = c3 = 0
    for i, c in enumerate(conditions):
        c1 |= (c >> 2 & 1) << i
        c2 |= (c >> 1 & 1) << i
        c3 |= (c & 1) << i
    return bytes([(~c2 & 0xF) << 4 | (~c1 & 0xF), c1 << 4 | (~c3 & 0xF), c3 << 4 | c2])


def decode(access_bytes: BytesLike) -> List[int]:
    """The conditions of blocks 0, 1, 2 and the trailer from trailer bytes 6 to 8 (a fourth
    byte, the user byte, is ignored). Raises AccessError when an inverted copy does not match:
    a card given such bytes blocks the sector for good."""
    raw = bytes(access_bytes)
    if len(raw) not in (3, 4):
        raise AccessError("the access bytes are 3 bytes (trailer bytes 6 to 8)")
    b6, b7, b8 = raw[0], raw[1], raw[2]
    c1, c2, c3 = b7 >> 4, b8 & 0xF, b8 >> 4
    if (c1 ^ (b6 & 0xF)) != 0xF or (c2 ^ (b6 >> 4)) != 0xF or (c3 ^ (b7 & 0xF)) != 0xF:
        raise AccessError(
            f"the access bytes {raw[:3].hex().upper()} are invalid: their inverted copies do not "
            "match, and a card given them blocks the sector for good")
    return [(c1 >> i & 1) << 2 | (c2 >> i & 1) << 1 | (c3 >> i & 1) for i in range(4)]


def key_b_readable(trailer_condition: int) -> bool:
    """Key B can be read under this trailer condition: it is data then, and opens nothing."""
    return rights(trailer_condition, True)[3] != "-"


def permanent(trailer_condition: int) -> bool:
    """No key can write the access bits again under this trailer condition."""
    return rights(trailer_condition, True)[2] == "-"


def check(conditions: Sequence[int], force: bool = False) -> None:
    """Raises AccessError for conditions that must not be written: rights of key B alone
    under a trailer condition that makes key B readable, or (unless `force`) access bits no
    key could change again."""
    encode(conditions)
    if key_b_readable(conditions[3]):
        for block, c in enumerate(conditions[:3]):
            if "B" in rights(c):
                raise AccessError(
                    f"data block {block} gives rights to key B only ({rights_text(c)}), but the "
                    f"trailer condition {_bits(conditions[3])} makes key B readable, and a "
                    "readable key B opens nothing")
    if permanent(conditions[3]) and not force:
        raise AccessError(
            f"the trailer condition {_bits(conditions[3])} lets no key write the access bits "
            "again: these conditions would be permanent (force=True accepts that)")


def make_trailer(key_a: BytesLike, conditions: Sequence[int], key_b: BytesLike,
                 user_byte: int = 0x69, force: bool = False) -> bytes:
    """A whole 16-byte trailer: key A, the access bytes of `conditions`, the user byte, key B.
    The conditions are checked first (see :func:`check`)."""
    ka, kb = bytes(key_a), bytes(key_b)
    if len(ka) != 6 or len(kb) != 6:
        raise AccessError("keys are 6 bytes")
    if not 0 <= user_byte <= 255:
        raise AccessError("the user byte is 0 to 255")
    check(conditions, force)
    return ka + encode(conditions) + bytes([user_byte]) + kb


def describe(conditions: Sequence[int]) -> str:
    """One line a block: "block 0  100  read=AB,write=B,inc=-,dec=-", and notes."""
    lines = [f"block {b}  {_bits(c)}  {rights_text(c)}" for b, c in enumerate(conditions[:3])]
    lines.append(f"trailer  {_bits(conditions[3])}  {rights_text(conditions[3], True)}")
    if key_b_readable(conditions[3]):
        lines.append("note: key B is readable under this trailer condition: it is data, and "
                     "opens nothing")
    if permanent(conditions[3]):
        lines.append("note: no key can write these access bits again: they are permanent")
    return "\n".join(lines)
