#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets under fuzz/corpus/. Run it again after changing
how a target reads its input; libFuzzer grows the corpus from these at run time."""
import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# The seed file name and the reply payload (data bytes, then status) of each legacy export;
# None where the export sends no command, or sends several.
REPLIES = {
    "tqrf_request": ("request", [0x04, 0x00, 0x00]),
    "tqrf_request_2": ("request_2", [0x04, 0x00, 0x00]),
    "tqrf_anticoll": ("anticoll", [0x3A, 0x7C, 0x91, 0xE5, 0x00]),
    "tqrf_select": ("select", [0x08, 0x00]),
    "tqrf_halt": ("halt", [0x00]),
    "tqrf_loadkey": ("loadkey", [0x00]),
    "tqrf_authentication": ("authentication", [0x00]),
    "tqrf_authentication_2": ("authentication_2", [0x00]),
    "tqrf_read": ("read", list(range(16)) + [0x00]),
    "tqrf_write": ("write", [0x00]),
    "tqrf_initval": ("initval", [0x00]),
    "tqrf_readval": ("readval", [0x10, 0x27, 0x00, 0x00, 0x00]),
    "tqrf_increment": ("increment", [0x00]),
    "tqrf_decrement": ("decrement", [0x00]),
    "tqrf_restore": ("restore", [0x00]),
    "tqrf_transfer": ("transfer", [0x00]),
    "tqrf_reset": ("reset", [0x00]),
    "tqrf_ReadHardwareVersionNumber": ("version", list(b"TQRF RC500 V1.0") + [0x00]),
    "tqrf_Read_RWD_ID": ("read_id", [0x78, 0x56, 0x34, 0x12, 0x00]),
    "tqrf_Read_RC500E2": ("read_e2", list(range(16)) + [0x00]),
    "tqrf_Write_RC500E2": ("write_e2", [0x00]),
    "tqrf_Link_PCandRWD": ("link_test", [0x00]),
    "tqrf_BeepControl": ("beep", [0x00]),
    "tqrf_UploadRTC": ("upload_rtc", [0x26, 0x12, 0x08, 0x02, 0x16, 0x20, 0x00, 0x00]),
    "tqrf_DownloadRTC": ("download_rtc", [0x00]),
    "tqrf_loadkey_asc": ("loadkey_asc", [0x00]),
    "tqrf_card_asc_1": ("card_asc_1", None),
    "tqrf_card_asc": ("card_asc", [0x04, 0x00, 0x08, 0x3A, 0x7C, 0x91, 0xE5, 0x00]),
    "tqrf_rd_asc": ("rd_asc", list(range(16)) + [0x00]),
    "tqrf_wr_asc": ("wr_asc", [0x00]),
    "tqrf_BaudSetup": ("baud_setup", None),
    "tqrf_init": ("init", None),
}


def fuzz_table(array):
    """(name, output size, input size) of each row of a table of commands/drivers.cpp, in its
    order: the first byte of a call picks a row by its position. A legacy row starts with the
    name and the two sizes; a handle row with the name."""
    text = open(os.path.join(HERE, "commands", "drivers.cpp"), encoding="utf-8").read()
    body = text[text.index(f"{array}[] = {{"):]
    body = body[: body.index("\n};")]
    rows = []
    for m in re.finditer(r'^    \{"(\w+)", (\d+), (\d+),', body, flags=re.M):
        rows.append((m.group(1), int(m.group(2)), int(m.group(3))))
    return rows


# name, output size, input size, seed file name, reply payload
EXPORTS = [(n, o, i) + REPLIES[n] for n, o, i in fuzz_table("kLegacy")]
HANDLE_OPS = [n for n, _, _ in fuzz_table("kHandle")]


def index(name):
    return [e[0] for e in EXPORTS].index(name)


def reply(payload, delay=5, shape=2):
    return bytes([shape, delay, len(payload)]) + bytes(payload)


def no_reply():
    return bytes([0, 0])


def call(index, args=(0, 0, 0), replies=(), out_fill=0x00, in_bytes=b"", text=b"",
         null_mask=0, extras=0):
    name, out_size, in_size, _, _ = EXPORTS[index]
    b = bytes([index, null_mask]) + struct.pack("<iii", *args) + bytes([extras])
    for r in replies:
        b += r
    b += bytes([out_fill]) * out_size
    b += (in_bytes + bytes(in_size))[:in_size]
    b += b"x" * (4 + 8 + 2)
    b += bytes([len(text)]) + text
    return b


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def commands():
    for i, (export, _, _, name, payload) in enumerate(EXPORTS):
        args = (0, 1, 7) if name == "authentication_2" else (4, 1, 0)
        if name == "card_asc_1":
            rs = (reply([0x04, 0x00, 0x00]), reply([0x3A, 0x7C, 0x91, 0xE5, 0x00]),
                  reply([0x08, 0x00]))
        elif payload is None:
            rs = ()
        else:
            rs = (reply(payload),)
        in_bytes = b"FFFFFFFFFFFF" if name == "loadkey_asc" else bytes(range(1, 33))
        text = b"9600" if name == "baud_setup" else b"COM1" if name == "init" else b""
        write("commands", f"{name}_ok", bytes([1]) + call(i, args, rs, 0xEE, in_bytes, text))
        # The same call with the port closed.
        write("commands", f"{name}_closed", bytes([0]) + call(i, args, rs, 0xEE, in_bytes, text))
    # Bad replies: no answer, late answer, corrupted XOR, short, noise, oversize.
    read = index("tqrf_read")
    data = list(range(16)) + [0]
    write("commands", "read_no_reply", bytes([1]) + call(read, (4, 0, 0), (no_reply(),)))
    write("commands", "read_late", bytes([1]) + call(read, (4, 0, 0), (reply(data, 200),)))
    write("commands", "read_bad_xor",
          bytes([1]) + call(read, (4, 0, 0), (bytes([4, 5, 17]) + bytes(data) + bytes([0, 2, 0x55]),)))
    write("commands", "read_noise",
          bytes([1]) + call(read, (4, 0, 0), (bytes([1, 5, 9]) + b"\x00\x11\x22\x33\x44\x55\x66\x77\x88",)))
    write("commands", "read_oversize", bytes([1]) + call(read, (4, 0, 0), (reply([0] * 103 + [0]),)))
    write("commands", "read_status_only", bytes([1]) + call(read, (4, 0, 0), (reply([0x14]),)))
    write("commands", "readval_short", bytes([1]) + call(index("tqrf_readval"), (4, 0, 0), (reply([1, 2, 0]),)))
    write("commands", "rd_asc_short", bytes([1]) + call(index("tqrf_rd_asc"), (4, 0, 0), (reply([1, 2, 0]),)))
    write("commands", "card_asc_short", bytes([1]) + call(index("tqrf_card_asc"), (0, 0, 0), (reply([4, 0]),)))
    write("commands", "short_write", bytes([0x09, 1]) + call(index("tqrf_write"), (4, 0, 0), (reply([0]),)))
    write("commands", "null_pointer", bytes([1]) + call(read, (4, 0, 0), (reply(data),), null_mask=0x81))
    write("commands", "stale_and_noise",
          bytes([1]) + call(read, (4, 0, 0), (reply(data),), extras=3)[:15]
          + bytes([3]) + b"\x00\x01\x02" + bytes([10, 1]) + b"\x00\x04"
          + call(read, (4, 0, 0), (reply(data),))[15:])
    write("commands", "beep_wait", bytes([1]) + call(index("tqrf_BeepControl"), (0, 10, 0), (reply([0], 120),)))
    session = bytes([1])
    for name, args, rs in [("tqrf_request", (0, 0, 0), (reply([4, 0, 0]),)),
                           ("tqrf_anticoll", (0, 0, 0), (reply([0x3A, 0x7C, 0x91, 0xE5, 0]),)),
                           ("tqrf_loadkey", (0, 1, 0), (reply([0]),)),
                           ("tqrf_authentication", (0, 1, 0), (reply([0]),)),
                           ("tqrf_write", (4, 0, 0), (reply([0]),)),
                           ("tqrf_read", (4, 0, 0), (reply(data),))]:
        session += call(index(name), args, rs, 0xEE, bytes(range(1, 33)))
    write("commands", "session", session)


# Short names of the handle session's calls whose export says it differently.
HANDLE_NAMES = {"version": "tqrf_reader_hardware_version"}


def handle_call(op, a1=0, a2=0, value=0, capacity=0, reply_bytes=None, delay=5, null_mask=0):
    b = bytes([HANDLE_OPS.index(HANDLE_NAMES.get(op, "tqrf_reader_" + op)), null_mask, 0, a1 & 0xFF, 0, a2 & 0xFF])
    b += struct.pack("<I", value) + bytes([capacity, 0])
    if reply_bytes is None:
        b += bytes([0, delay])
    else:
        b += bytes([2, delay, len(reply_bytes)]) + bytes(reply_bytes)
    b += bytes([0xEE]) * (2 + 4 + 1 + 16 + 4 + max(capacity, 1) + 4) + bytes(range(1, 17))
    return b


def handle_seeds():
    block = list(range(16))
    session = [
        handle_call("find", reply_bytes=[0x04, 0x00, 0x08, 0x3A, 0x7C, 0x91, 0xE5, 0x00]),
        handle_call("loadkey", 0, 1, reply_bytes=[0x00]),
        handle_call("authenticate", 0, 1, reply_bytes=[0x00]),
        handle_call("read", 0, 4, reply_bytes=block + [0x00]),
        handle_call("readval", 0, 5, reply_bytes=[0x10, 0x27, 0, 0, 0x00]),
        handle_call("version", capacity=32, reply_bytes=list(b"RC500") + [0x00]),
        handle_call("version", capacity=2, reply_bytes=list(b"RC500") + [0x00]),
        handle_call("id", reply_bytes=[0x78, 0x56, 0x00]),
    ]
    for flags, name in [(0x10, "complete"), (0x30, "fixed")]:
        write("commands", f"handle_session_{name}", bytes([flags]) + b"".join(session))
        # A late reply, a status-only read and then a command that must not take the late one.
        write("commands", f"handle_late_{name}", bytes([flags])
              + handle_call("read", 0, 4, reply_bytes=block + [0x00], delay=45)
              + handle_call("halt", reply_bytes=[0x00])
              + handle_call("read", 0, 4, reply_bytes=[0x00])
              + handle_call("link_test", reply_bytes=[0x00]))
    write("commands", "handle_slack", bytes([0x10])
          + handle_call("set_option", 1, 0, value=70)
          + handle_call("read", 0, 4, reply_bytes=block + [0x00], delay=55)
          + handle_call("beep", 0, 10, reply_bytes=[0x00], delay=130))


def hex_seeds():
    write("hex", "upper", b"0123456789ABCDEF")
    write("hex", "lower", b"abcdef0123")
    write("hex", "odd", b"ABC")
    write("hex", "non_hex", b"G0zz \x00\xff")
    write("hex", "key", b"FFFFFFFFFFFF")


def mode_seeds():
    for i, s in enumerate([b"19200,S,8,1", b"19200,M,8,1", b"9600,N,8,1", b" 115200 , e , 7 , 2 ",
                           b"300,o,5,1.5", b"4294967295,N,8,1", b"4294967296,N,8,1", b"19200,S,8,1x",
                           b"19200,,8,1", b"0,N,8,1"]):
        write("mode_string", f"mode{i}", s)


def frame(payload):
    f = bytes([len(payload) >> 8, len(payload) & 0xFF]) + bytes(payload)
    x = 0
    for b in f:
        x ^= b
    return f + bytes([x])


def sim_seeds():
    rule = b"noreply@0x45\x00"
    pause = b"\xff\x05"
    req = lambda p: b"\x58" + frame(p) + pause
    write("sim_request", "session", rule
          + req([0xBB, 0x41, 0x26, 0x00]) + req([0xBB, 0x42, 0x00, 0x00])
          + req([0xBB, 0x43, 0x3A, 0x7C, 0x91, 0xE5, 0x00])
          + req([0xBB, 0x61, 0x60, 0x01] + [0xFF] * 6) + req([0xBB, 0x44, 0x60, 0x01])
          + req([0xBB, 0x45, 0x04, 0x00]) + req([0xBB, 0x46, 0x04] + list(range(16)))
          + req([0xBB, 0x47, 0x05, 0x10, 0x27, 0x00, 0x00]) + req([0xBB, 0x49, 0x05, 1, 0, 0, 0])
          + req([0xBB, 0x4C, 0x05, 0x00]) + req([0xBB, 0x48, 0x05, 0x00]))
    write("sim_request", "reader", b"delay:100/1\x00"
          + req([0xBB, 0x72, 0x55, 0x00]) + req([0xBB, 0x73, 0x00, 0x00])
          + req([0xBB, 0x76, 0x00, 0x00]) + req([0xBB, 0x75, 0x10, 0x00])
          + req([0xBB, 0x74, 0x55, 0x20] + list(range(16))) + req([0xBB, 0x77, 0x55, 0x00])
          + req([0xBB, 0x69, 0x01, 0x05]) + req([0xBB, 0x6B, 0x00, 0x00])
          + req([0xBB, 0x6A, 0x26, 0x12, 0x08, 0x02, 0x16, 0x20, 0x00]) + req([0xBB, 0x62, 0x26, 0x00]))
    write("sim_request", "garbage", b"status:0x14@0x46/2\x00\x00\x58\x00\x04\xbb\x41\x26\x00\x00"
          + b"\x12\x34" + pause + b"\x58\x01\x00" + pause + b"\x58\x00\x00\x00")


def image_seeds():
    # The first byte picks the format hint (7: none); the rest is the file, from the image tests.
    images = os.path.join(HERE, "..", "tests", "cli", "images")
    for hint, name in [(7, "card.mfd"), (1, "card.mfd"), (7, "card.eml"), (7, "card-pm3.json"),
                       (7, "card-mfcard.json"), (7, "card-v4.nfc"), (7, "card-v2.nfc"),
                       (7, "card.mct"), (6, "card.mct")]:
        with open(os.path.join(images, name), "rb") as f:
            write("image", f"{hint}-{name}", bytes([hint]) + f.read())
    write("image", "tool-json", b"\x06" + b'{"tqrf_dump": 1, "uid": null, "sectors": []}')
    write("image", "short-nfc", b"\x07Filetype: Flipper NFC device\nVersion: 2\nBlock 3: ?? 00\n")


def gateway_request_seeds():
    # The first byte picks the reader (0: the quick start's, 1: every command and the key sets
    # office and half); the rest is the request. Valid requests and refused ones.
    seeds = {
        "info": (1, '{"cmd":"info"}'),
        "info-311": (0, '{"cmd":"info","reply_to":"reply/me","id":7}'),
        "beep": (0, '{"cmd":"beep","ms":250}'),
        "beep-short": (0, '{"cmd":"beep","ms":5}'),
        "read": (0, '{"cmd":"read","block":1}'),
        "read-blocks": (1, '{"cmd":"read","blocks":[0,1,2,63],"keys":"office","key":"b"}'),
        "read-64": (0, '{"cmd":"read","block":64}'),
        "read-empty": (0, '{"cmd":"read","blocks":[]}'),
        "dump": (0, '{"cmd":"dump","sectors":[1,15]}'),
        "dump-bad": (0, '{"cmd":"dump","sectors":[16]}'),
        "write": (1, '{"cmd":"write","block":2,"keys":"office",'
                     '"data":"00112233445566778899AABBCCDDEEFF"}'),
        "write-trailer": (1, '{"cmd":"write","block":3,"data":"00112233445566778899AABBCCDDEEFF"}'),
        "write-not-allowed": (0, '{"cmd":"write","block":2,'
                                 '"data":"00112233445566778899AABBCCDDEEFF"}'),
        "write-short": (1, '{"cmd":"write","block":2,"data":"0011"}'),
        "credit": (1, '{"cmd":"credit","block":4,"amount":10,"keys":"half"}'),
        "debit-b-missing": (1, '{"cmd":"debit","block":4,"amount":10,"keys":"half","key":"b"}'),
        "debit-big": (1, '{"cmd":"debit","block":4,"amount":2147483648}'),
        "debit-float": (1, '{"cmd":"debit","block":4,"amount":1.5}'),
        "closed-set": (1, '{"cmd":"read","block":1,"keys":"closed"}'),
        "keys-number": (1, '{"cmd":"read","block":1,"keys":3}'),
        "key-c": (1, '{"cmd":"read","block":1,"key":"c"}'),
        "no-cmd": (0, '{"id":[1,2]}'),
        "unknown": (0, '{"cmd":"launch","id":null}'),
        "not-object": (0, '[1,2,3]'),
        "broken": (0, '{"cmd":"info"'),
        "wildcard-reply": (0, '{"cmd":"info","reply_to":"a/#"}'),
        "nested": (0, '{"cmd":"info","id":' + '[' * 200 + ']' * 200 + '}'),
        "oversized": (1, '{"cmd":"info","pad":"' + 'x' * 4100 + '"}'),
    }
    for name, (reader, text) in seeds.items():
        write("gateway_request", name, bytes([reader]) + text.encode())


if __name__ == "__main__":
    commands()
    handle_seeds()
    hex_seeds()
    mode_seeds()
    sim_seeds()
    image_seeds()
    gateway_request_seeds()
