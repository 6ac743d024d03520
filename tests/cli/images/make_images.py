#!/usr/bin/env python3
"""Writes the card image files of the image tests, each as its tool writes it (from the
published descriptions of those formats). The files are checked in; run this only to change
the test card. One card throughout:

  UID 9C15A3E7, ATQA 0400, SAK 08
  sector 0: a MIFARE Application Directory (one NDEF application in sectors 1 to 15),
            keys A0A1A2A3A4A5 / B0B1B2B3B4B5, access bytes 787788, user byte C1
  sector 1: NDEF data, keys D3F7D3F7D3F7 / FFFFFFFFFFFF, access bytes 7F0788, user byte 40
  sector 2: value blocks 8 (1234) and 9 (-1), value access (110) for blocks 8 to 10, trailer 011
  sector 3: "write with key B only" (100), trailer 011, keys A3A3A3A3A3A3 / B3B3B3B3B3B3
  other sectors as shipped (factory keys, FF0780 69)
The Flipper and MIFARE Classic Tool files do not know sector 5 nor sector 3's key B.
"""
import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
UID = bytes.fromhex("9C15A3E7")


def access(c0, c1, c2, c3):
    conds = [c0, c1, c2, c3]
    c1b = c2b = c3b = 0
    for i, c in enumerate(conds):
        c1b |= ((c >> 2) & 1) << i
        c2b |= ((c >> 1) & 1) << i
        c3b |= (c & 1) << i
    return bytes([((~c2b & 0xF) << 4) | (~c1b & 0xF), (c1b << 4) | (~c3b & 0xF), (c3b << 4) | c2b])


def value_block(v, addr):
    b = (v & 0xFFFFFFFF).to_bytes(4, "little")
    inv = bytes(x ^ 0xFF for x in b)
    return b + inv + b + bytes([addr, addr ^ 0xFF, addr, addr ^ 0xFF])


def mad_crc(data):
    crc = 0xC7
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1D) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def card():
    blocks = [bytes(16)] * 64
    bcc = UID[0] ^ UID[1] ^ UID[2] ^ UID[3]
    blocks[0] = UID + bytes([bcc, 0x08, 0x04, 0x00]) + b"bcdefghi"
    mad = bytes([0x01]) + bytes.fromhex("03E1") * 15
    blocks[1] = bytes([mad_crc(mad)]) + mad[:15]
    blocks[2] = mad[15:]
    blocks[3] = bytes.fromhex("A0A1A2A3A4A5") + bytes.fromhex("787788C1") + bytes.fromhex("B0B1B2B3B4B5")
    blocks[4] = bytes.fromhex("0003") + bytes.fromhex("0FD1010B5402656E68656C6C6F") + b"\x00"
    blocks[4] = bytes.fromhex("000311D1010D5402656E68656C6C6F2E")
    blocks[5] = bytes.fromhex("FE000000000000000000000000000000")
    blocks[7] = bytes.fromhex("D3F7D3F7D3F7") + bytes.fromhex("7F078840") + bytes.fromhex("FFFFFFFFFFFF")
    blocks[8] = value_block(1234, 8)
    blocks[9] = value_block(-1, 9)
    blocks[11] = bytes.fromhex("FFFFFFFFFFFF") + access(6, 6, 6, 3) + b"\x69" + bytes.fromhex("FFFFFFFFFFFF")
    blocks[12] = b"staff room 3A  "[:16].ljust(16, b"\x00")
    blocks[15] = bytes.fromhex("A3A3A3A3A3A3") + access(4, 4, 4, 3) + b"\x69" + bytes.fromhex("B3B3B3B3B3B3")
    for s in range(16):
        if blocks[s * 4 + 3] == bytes(16):
            blocks[s * 4 + 3] = bytes.fromhex("FFFFFFFFFFFFFF078069FFFFFFFFFFFF")
    blocks[20] = b"sector five".ljust(16, b"\x00")
    return blocks


def unknown(block_no):
    """What the Flipper and MCT files do not know: sector 5, and sector 3's key B."""
    if block_no // 4 == 5:
        return set(range(16))
    if block_no == 15:
        return set(range(10, 16))
    return set()


def write_mfd(blocks):
    (HERE / "card.mfd").write_bytes(b"".join(blocks))


def write_eml(blocks):
    # Proxmark3 emulator files: one block a line, lower-case hex.
    (HERE / "card.eml").write_text("".join(b.hex() + "\n" for b in blocks))


def pm3_text(blocks, s):
    return {f"block{s * 4 + i}": "see access bits" for i in range(4)} | {"UserData": blocks[s * 4 + 3][9:10].hex().upper()}


def write_pm3(blocks):
    doc = {
        "Created": "proxmark3",
        "FileType": "mfc v2",
        "Card": {"UID": UID.hex().upper(), "ATQA": "0400", "SAK": "08"},
        "blocks": {str(i): b.hex().upper() for i, b in enumerate(blocks)},
        "SectorKeys": {},
    }
    for s in range(16):
        t = blocks[s * 4 + 3]
        doc["SectorKeys"][str(s)] = {
            "KeyA": t[:6].hex().upper(),
            "KeyB": t[10:].hex().upper(),
            "AccessConditions": t[6:10].hex().upper(),
            "AccessConditionsText": pm3_text(blocks, s),
        }
    # Proxmark3 dumps a trailer with key A as the card gives it (zeros), the key under SectorKeys.
    for s in range(16):
        b = bytearray.fromhex(doc["blocks"][str(s * 4 + 3)])
        b[:6] = bytes(6)
        doc["blocks"][str(s * 4 + 3)] = b.hex().upper()
    (HERE / "card-pm3.json").write_text(json.dumps(doc, indent=2) + "\n")
    old = {
        "Created": "proxmark3",
        "FileType": "mfcard",
        "Card": {"UID": UID.hex().upper(), "SAK": "08", "ATQA": "0400"},
        "blocks": {str(i): b.hex().upper() for i, b in enumerate(blocks)},
    }
    (HERE / "card-mfcard.json").write_text(json.dumps(old, indent=2) + "\n")


def flipper_block(blocks, n):
    unk = unknown(n)
    return " ".join("??" if i in unk else f"{blocks[n][i]:02X}" for i in range(16))


def write_flipper(version, blocks):
    """A Flipper .nfc file as version 4 (current firmware) or version 2 (older firmware) writes it."""
    v4 = version == 4
    lines = [
        "Filetype: Flipper NFC device",
        f"Version: {version}",
        "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, ISO14443-4B, ISO15693-3, FeliCa, NTAG/Ultralight, Mifare Classic, Mifare Plus, Mifare DESFire, SLIX, ST25TB, EMV"
        if v4
        else "# Nfc device type can be UID, Mifare Ultralight, Mifare Classic, Bank card",
        "Device type: Mifare Classic",
        "# UID is common for all formats" if v4 else "# UID, ATQA and SAK are common for all formats",
        "UID: " + " ".join(f"{b:02X}" for b in UID),
        *(["# ISO14443-3A specific data"] if v4 else []),
        "ATQA: 00 04" if v4 else "ATQA: 04 00",
        "SAK: 08",
        "# Mifare Classic specific data",
        "Mifare Classic type: 1K",
        f"Data format version: {2 if v4 else 1}",
        f"# Mifare Classic {'blocks' if v4 else 'Blocks'}, '??' means unknown data",
    ]
    lines += [f"Block {n}: " + flipper_block(blocks, n) for n in range(64)]
    (HERE / f"card-v{version}.nfc").write_text("\n".join(lines) + "\n")


def write_mct(blocks):
    lines = []
    for s in range(16):
        lines.append(f"+Sector: {s}")
        if s == 5:
            lines.append("*No keys found or dead sector")
            continue
        for n in range(s * 4, s * 4 + 4):
            unk = unknown(n)
            lines.append("".join("--" if i in unk else f"{blocks[n][i]:02X}" for i in range(16)))
    (HERE / "card.mct").write_text("\n".join(lines) + "\n")


def write_4k():
    lines = ["Filetype: Flipper NFC device", "Version: 4", "Device type: Mifare Classic",
             "UID: 11 22 33 44", "ATQA: 00 02", "SAK: 18", "Mifare Classic type: 4K",
             "Data format version: 2"]
    lines += [f"Block {n}: " + " ".join(["00"] * 16) for n in range(256)]
    (HERE / "card4k.nfc").write_text("\n".join(lines) + "\n")
    mct = []
    for s in range(40):
        mct.append(f"+Sector: {s}")
        mct += ["0" * 32] * (4 if s < 32 else 16)
    (HERE / "card4k.mct").write_text("\n".join(mct) + "\n")


if __name__ == "__main__":
    b = card()
    write_mfd(b)
    write_eml(b)
    write_pm3(b)
    write_flipper(4, b)
    write_flipper(2, b)
    write_mct(b)
    write_4k()
