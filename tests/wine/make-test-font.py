#!/usr/bin/env python3
"""make-test-font.py SOURCE.ttf OUTPUT.ttf WORD

Writes a copy of the TrueType font SOURCE whose family name has WORD in
place of its first word ("DejaVu Sans" with WORD StwTest: "StwTest Sans"):
that word is replaced in the family, full, unique and PostScript names of
the 'name' table, everything else is kept, and the table checksums and
head.checkSumAdjustment are recomputed.

Why: every Wine prefix already lists the Debian system fonts (DejaVu among
them) under HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts and
enumerates their faces, so a test that installs DejaVuSans.ttf itself could
not tell its own registration from Wine's. A renamed copy is a face no
prefix knows yet. (The DejaVu/Bitstream Vera licence allows modified copies
on condition that they are renamed, which this is.)
"""
import struct
import sys

# Name IDs that carry the family: family, unique ID, full name, PostScript
# name, typographic family, compatible full name, WWS family.
FAMILY_IDS = {1, 3, 4, 6, 16, 18, 21}


def checksum(data: bytes) -> int:
    data += b"\0" * (-len(data) % 4)
    return sum(struct.unpack(">%dI" % (len(data) // 4), data)) & 0xFFFFFFFF


def rename(name_table: bytes, old: str, new: str) -> bytes:
    fmt, count, storage = struct.unpack_from(">HHH", name_table, 0)
    if fmt != 0:
        raise SystemExit("make-test-font: only format 0 'name' tables are handled")
    records = []
    for i in range(count):
        pid, eid, lid, nid, length, offset = struct.unpack_from(">6H", name_table, 6 + 12 * i)
        raw = name_table[storage + offset:storage + offset + length]
        if nid in FAMILY_IDS:
            # Unicode and Windows platforms store UTF-16BE; Macintosh Roman
            # is ASCII for these names.
            codec = "utf-16-be" if pid in (0, 3) else "latin-1"
            raw = raw.decode(codec).replace(old, new).encode(codec)
        records.append((pid, eid, lid, nid, raw))
    header = struct.pack(">HHH", 0, count, 6 + 12 * count)
    body = b""
    strings = b""
    for pid, eid, lid, nid, raw in records:
        body += struct.pack(">6H", pid, eid, lid, nid, len(raw), len(strings))
        strings += raw
    return header + body + strings


def main() -> None:
    if len(sys.argv) != 4:
        raise SystemExit("usage: make-test-font.py SOURCE.ttf OUTPUT.ttf WORD")
    source, output, new_word = sys.argv[1:]
    if not new_word or " " in new_word or not new_word.isascii():
        raise SystemExit("make-test-font: WORD is one word of ASCII letters")
    font = open(source, "rb").read()
    version, num_tables = struct.unpack_from(">IH", font, 0)
    if version not in (0x00010000, 0x74727565):
        raise SystemExit("make-test-font: %s is not a TrueType font" % source)
    tables = {}
    for i in range(num_tables):
        tag, _, offset, length = struct.unpack_from(">4sIII", font, 12 + 16 * i)
        tables[tag] = font[offset:offset + length]
    old_family = None
    fmt, count, storage = struct.unpack_from(">HHH", tables[b"name"], 0)
    for i in range(count):
        pid, eid, lid, nid, length, offset = struct.unpack_from(">6H", tables[b"name"], 6 + 12 * i)
        if nid == 1 and pid == 3:
            old_family = tables[b"name"][storage + offset:storage + offset + length].decode("utf-16-be")
            break
    if not old_family:
        raise SystemExit("make-test-font: %s has no Windows family name" % source)
    # Only the family's first word ("DejaVu" of "DejaVu Sans") changes, so
    # styles and the rest of each name stay as they were.
    old_word = old_family.split(" ")[0]
    tables[b"name"] = rename(tables[b"name"], old_word, new_word)
    # checkSumAdjustment counts as zero while the checksums are computed.
    head = bytearray(tables[b"head"])
    head[8:12] = b"\0\0\0\0"
    tables[b"head"] = bytes(head)

    tags = sorted(tables)
    search = 1
    while search * 2 <= len(tags):
        search *= 2
    entry_selector = search.bit_length() - 1
    out = struct.pack(">IHHHH", 0x00010000, len(tags), search * 16, entry_selector, len(tags) * 16 - search * 16)
    offset = 12 + 16 * len(tags)
    directory = b""
    data = b""
    for tag in tags:
        table = tables[tag]
        directory += struct.pack(">4sIII", tag, checksum(table), offset + len(data), len(table))
        data += table + b"\0" * (-len(table) % 4)
    out += directory + data
    adjustment = (0xB1B0AFBA - checksum(out)) & 0xFFFFFFFF
    head_offset = 12 + 16 * len(tags) + sum(len(tables[t]) + (-len(tables[t]) % 4) for t in tags[:tags.index(b"head")])
    out = out[:head_offset + 8] + struct.pack(">I", adjustment) + out[head_offset + 12:]
    with open(output, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
