"""A card session and the reader's own commands, against the simulated reader."""

from __future__ import annotations

import pytest

import tqrf
from tqrf import Card, Key, KeyType, ReaderStatus, ReplyMode, RequestMode

UID = bytes.fromhex("3A7C91E5")
FRESH_TRAILER = bytes(6) + bytes.fromhex("FF078069") + b"\xff" * 6  # key A reads as zeros
OTHER_KEY = Key.from_hex("A0A1A2A3A4A5")


def test_card_session_blocks_and_values(reader: tqrf.Reader) -> None:
    assert reader.find() == Card(b"\x04\x00", UID, 0x08)
    reader.login(1, Key.DEFAULT)

    data = bytes(range(0x10, 0x20))
    reader.write(4, data)
    assert reader.read(4) == data

    reader.initval(5, 100)
    assert reader.readval(5) == 100
    reader.increment(5, 20)
    reader.transfer(5)
    assert reader.readval(5) == 120
    reader.decrement(5, 50)
    reader.transfer(6)  # into another block of the sector; the source keeps its value
    assert (reader.readval(5), reader.readval(6)) == (120, 70)
    reader.restore(5)
    reader.transfer(6)
    assert reader.readval(6) == 120
    reader.decrement(5, 121)  # the card's own arithmetic wraps; a value block is signed
    reader.transfer(5)
    assert reader.readval(5) == -1

    reader.halt()
    with pytest.raises(ReaderStatus) as e:
        reader.find(RequestMode.IDLE)  # a halted card answers only a wake-up for all
    assert e.value.status == 0x11
    assert reader.find(RequestMode.ALL).serial == UID
    reader.login(1, Key.DEFAULT)
    assert reader.read(4) == data


def test_request_anticoll_select_with_two_cards(start_sim, open_reader) -> None:
    r = open_reader(start_sim("--uid", "0A0B0C0D", "--uid", "01020304").path)
    assert r.request(RequestMode.ALL) == b"\x04\x00"
    assert r.anticoll(0) == bytes([1, 2, 3, 4])  # lowest UID first
    assert r.anticoll(1) == bytes([10, 11, 12, 13])
    with pytest.raises(ReaderStatus):
        r.anticoll(2)
    assert r.select(bytes([10, 11, 12, 13])) == 0x08
    r.login(0, Key.DEFAULT)
    assert r.read(0)[:4] == bytes([10, 11, 12, 13])


def test_reader_device_commands(start_sim, open_reader) -> None:
    r = open_reader(start_sim("--identity", "89ABCDEF").path)
    assert r.hardware_version() == b"TQRF-SIM RC500 V1.0"
    assert r.id() == 0x89ABCDEF
    r.link_test()
    r.reset()
    assert r.e2_read(0)[:12] == bytes([0xEF, 0xCD, 0xAB, 0x89]) + b"RC500SIM"
    memory = bytes(range(0xA0, 0xB0))
    r.e2_write(0x20, memory)
    assert r.e2_read(0x20) == memory
    with pytest.raises(ReaderStatus) as e:
        r.e2_write(0x05, memory)  # the product information is read-only
    assert e.value.status == 0x1A

    clock = bytes([0x30, 0x15, 0x10, 0x24, 0x12, 0x02, 0x26])  # 10:15:30, 24.12.(20)26, Tue
    r.clock_set(clock)
    now = r.clock_read()
    assert len(now) == 7 and now[1:] == clock[1:]  # the seconds run on
    r.beep(1, 5)
    r.beep(0, 2)  # mode 0 answers when the beep is over
    r.set_baud(9600)
    r.link_test()  # every exchange puts the line back to 19200 baud


def test_reply_mode_and_slack_options(sim, open_reader) -> None:
    with tqrf.Reader(sim.path) as r:
        assert (r.reply_mode, r.slack_ms) == (ReplyMode.COMPLETE, 0)

    r = open_reader(sim.path, reply_mode=ReplyMode.FIXED, slack_ms=250)
    assert (r.reply_mode, r.slack_ms) == (ReplyMode.FIXED, 250)
    r.reply_mode = ReplyMode.COMPLETE
    r.slack_ms = 1000
    assert r.get_option(tqrf.Option.REPLY_MODE) == ReplyMode.COMPLETE
    assert r.slack_ms == 1000
    r.link_test()


def test_dump_reads_every_block(reader: tqrf.Reader) -> None:
    reader.find()
    reader.login(1, Key.DEFAULT)
    reader.write(4, b"\x11" * 16)

    image = reader.dump()
    assert image.complete and len(image) == 64
    assert image.card.serial == UID
    block0 = image[0]
    assert block0 is not None and block0[:5] == UID + bytes([0x3A ^ 0x7C ^ 0x91 ^ 0xE5])
    assert image[4] == b"\x11" * 16
    assert all(image[4 * s + 3] == FRESH_TRAILER for s in range(16))
    assert image.keys == [Key.DEFAULT] * 16
    assert len(image.to_bytes()) == 1024


def test_dump_tries_keys_per_sector(reader: tqrf.Reader) -> None:
    reader.find()
    reader.login(2, Key.DEFAULT)
    reader.write(11, OTHER_KEY + bytes.fromhex("FF078069") + b"\xff" * 6)

    image = reader.dump()  # sector 2 no longer opens with the default key
    assert image.missing == [8, 9, 10, 11]
    assert image.keys[2] is None and image.keys[3] == Key.DEFAULT
    assert image[12] == bytes(16)  # the sectors after it were still read
    assert image.to_bytes(fill=0xEE)[8 * 16 : 12 * 16] == b"\xee" * 64

    image = reader.dump([Key.DEFAULT, OTHER_KEY])
    assert image.complete
    assert image.keys[2] == OTHER_KEY and image.keys[1] == Key.DEFAULT

    image = reader.dump(OTHER_KEY, KeyType.A, serial=UID)
    assert [s for s, k in enumerate(image.keys) if k is not None] == [2]


@pytest.mark.parametrize(
    "start, call, result",
    [
        (120, lambda r: r.debit(5, 20), 100),
        (120, lambda r: r.debit(5, 120), 0),
        (120, lambda r: r.debit(5, 500, allow_negative=True), -380),
        (-5, lambda r: r.credit(5, 10), 5),
        (2**31 - 2, lambda r: r.credit(5, 1), 2**31 - 1),
        (2**31 - 1, lambda r: r.credit(5, 1, allow_wrap=True), -(2**31)),
        (-(2**31), lambda r: r.debit(5, 1, allow_negative=True, allow_wrap=True), 2**31 - 1),
    ],
)
def test_purse_helpers(reader: tqrf.Reader, start: int, call, result: int) -> None:  # type: ignore[no-untyped-def]
    reader.find()
    reader.login(1, Key.DEFAULT)
    reader.initval(5, start)
    assert reader.readval(5) == start
    assert call(reader) == result
    assert reader.readval(5) == result


@pytest.mark.parametrize(
    "start, call, says",
    [
        (120, lambda r: r.debit(5, 500), "120 - 500 = -380 is below zero"),
        (0, lambda r: r.debit(5, 1), "is below zero"),
        (2**31 - 1, lambda r: r.credit(5, 1), "does not fit a value block"),
        (-(2**31), lambda r: r.debit(5, 1, allow_negative=True), "does not fit a value block"),
    ],
)
def test_purse_helpers_refuse_and_write_nothing(  # type: ignore[no-untyped-def]
    reader: tqrf.Reader, start: int, call, says: str
) -> None:
    reader.find()
    reader.login(1, Key.DEFAULT)
    reader.initval(5, start)
    with pytest.raises(tqrf.ValueRefused, match=says):
        call(reader)
    assert reader.readval(5) == start
