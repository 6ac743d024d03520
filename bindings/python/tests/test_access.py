"""Access conditions by name in pure Python, held to the same tables and bytes as the tool."""

from __future__ import annotations

import pytest

from tqrf import access
from tqrf.access import AccessError


@pytest.mark.parametrize(
    "conditions, hex_bytes",
    [
        ([0, 0, 0, 1], "FF0780"),  # transport configuration
        ([4, 4, 4, 3], "787788"),  # read AB, write B; trailer by key B
        ([6, 6, 6, 3], "08778F"),  # value blocks recharged with key B
        ([0, 0, 0, 3], "7F0788"),  # NFC Forum sector
    ],
)
def test_encode_and_decode_known_bytes(conditions, hex_bytes) -> None:  # type: ignore[no-untyped-def]
    assert access.encode(conditions).hex().upper() == hex_bytes
    assert access.decode(bytes.fromhex(hex_bytes)) == conditions
    assert access.decode(bytes.fromhex(hex_bytes + "69")) == conditions


def test_every_condition_round_trips_by_name() -> None:
    for trailer in (False, True):
        for c in range(8):
            back = access.parse_rights(access.rights_text(c, trailer), trailer)
            assert access.rights(back, trailer) == access.rights(c, trailer)
            assert access.parse_rights(format(c, "03b"), trailer) == c
    for blocks in range(4096):
        conditions = [blocks >> 9 & 7, blocks >> 6 & 7, blocks >> 3 & 7, blocks & 7]
        assert access.decode(access.encode(conditions)) == conditions


@pytest.mark.parametrize(
    "text, trailer, condition",
    [
        ("read=AB,write=B", False, 4),
        ("read=ab write=b", False, 4),
        ("read=AB,write=B,inc=B,dec=AB", False, 6),
        ("", False, 7),
        ("keya-write=B,bits-read=AB,bits-write=B,keyb-write=B", True, 3),
    ],
)
def test_names(text: str, trailer: bool, condition: int) -> None:
    assert access.parse_rights(text, trailer) == condition


@pytest.mark.parametrize(
    "call, says",
    [
        (lambda: access.parse_rights("read=AB,write=A"), "no access condition of the card"),
        (lambda: access.parse_rights("read=C"), "who may is A, B, AB or -"),
        (lambda: access.parse_rights("colour=AB"), '"colour" is not a right of a data block'),
        (lambda: access.decode(bytes.fromhex("FF0781")), "inverted copies do not match"),
        (lambda: access.make_trailer(bytes(6), [5, 5, 5, 1], bytes(6)), "makes key B readable"),
        (lambda: access.make_trailer(bytes(6), [0, 0, 0, 6], bytes(6)), "permanent"),
        (lambda: access.encode([0, 0, 8, 1]), "each 0 to 7"),
    ],
)
def test_refusals_name_the_problem(call, says: str) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(AccessError, match=says):
        call()


def test_make_trailer() -> None:
    t = access.make_trailer(bytes.fromhex("A0A1A2A3A4A5"), [4, 4, 4, 3],
                            bytes.fromhex("B0B1B2B3B4B5"), user_byte=0xC1)
    assert t.hex().upper() == "A0A1A2A3A4A5787788C1B0B1B2B3B4B5"
    assert access.make_trailer(bytes(6), [0, 0, 0, 6], bytes(6), force=True)[6:9] == access.encode([0, 0, 0, 6])
    assert "trailer  011  keya-write=B" in access.describe([4, 4, 4, 3])
