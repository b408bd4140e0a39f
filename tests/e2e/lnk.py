#!/usr/bin/env python3
"""Prints what a shell link file (.lnk) holds, one "field=value" line each.

    lnk.py FILE

Read from the file's bytes as the shell link format lays them out, not
through IShellLink::Load (Wine's Load reports a wrong show command). Lines:
  header=ok             the 0x4C header size and the shell link CLSID
                        00021401-0000-0000-C000-000000000046 (else "bad")
  target=PATH           the link information's local base path and suffix
  idlist=NAME\\NAME...   the long names of the target ID list's items
  description=, relative=, workdir=, arguments=, icon=
                        the string data (UTF-16LE when the file says so);
                        a line only for a string the file has (one
                        terminating zero, which Wine adds, left out)
  iconindex=N, showcmd=N
Exit status 1 when the file is not a shell link or ends inside a part.
"""
import struct
import sys
import uuid

CLSID = uuid.UUID("00021401-0000-0000-C000-000000000046")


def main() -> int:
    data = open(sys.argv[1], "rb").read()
    if len(data) < 0x4C:
        print("header=bad")
        return 1
    size = struct.unpack_from("<I", data, 0)[0]
    clsid = uuid.UUID(bytes_le=data[4:20])
    if size != 0x4C or clsid != CLSID:
        print("header=bad")
        return 1
    print("header=ok")
    flags = struct.unpack_from("<I", data, 0x14)[0]
    icon_index, show = struct.unpack_from("<iI", data, 0x38)
    pos = 0x4C
    names = []
    if flags & 0x01:  # HasLinkTargetIDList
        (n,) = struct.unpack_from("<H", data, pos)
        end = pos + 2 + n
        p = pos + 2
        while p + 2 <= end:
            (item,) = struct.unpack_from("<H", data, p)
            if item == 0:
                break
            names.append(item_name(data[p + 2:p + item]))
            p += item
        pos = end
    if flags & 0x02:  # HasLinkInfo
        (n, header) = struct.unpack_from("<II", data, pos)
        info = data[pos:pos + n]
        (info_flags, _, base_off, _, suffix_off) = struct.unpack_from("<IIIII", info, 8)
        base = suffix = ""
        if header >= 0x24:
            (ubase_off, usuffix_off) = struct.unpack_from("<II", info, 28)
            if info_flags & 1:
                base = utf16z(info, ubase_off)
            suffix = utf16z(info, usuffix_off)
        else:
            if info_flags & 1:
                base = ansiz(info, base_off)
            suffix = ansiz(info, suffix_off)
        print("target=" + base + suffix)
        pos += n
    if names:
        print("idlist=" + "\\".join(names))
    unicode = bool(flags & 0x80)
    for bit, field in ((0x04, "description"), (0x08, "relative"), (0x10, "workdir"), (0x20, "arguments"),
                       (0x40, "icon")):
        if not flags & bit:
            continue
        (count,) = struct.unpack_from("<H", data, pos)
        pos += 2
        width = 2 if unicode else 1
        raw = data[pos:pos + count * width]
        if len(raw) != count * width:
            return 1
        pos += count * width
        text = raw.decode("utf-16-le") if unicode else raw.decode("latin-1")
        # Wine counts and writes a terminating zero that the format does
        # not have; Windows reads such a string with it and ignores it.
        if text.endswith("\0"):
            text = text[:-1]
        print(field + "=" + text)
    print(f"iconindex={icon_index}")
    print(f"showcmd={show}")
    return 0


def utf16z(b: bytes, off: int) -> str:
    end = off
    while end + 1 < len(b) and b[end:end + 2] != b"\0\0":
        end += 2
    return b[off:end].decode("utf-16-le")


def ansiz(b: bytes, off: int) -> str:
    end = b.index(b"\0", off)
    return b[off:end].decode("latin-1")


def item_name(item: bytes) -> str:
    """The long (UTF-16) name of a file system item, else its short name."""
    if not item:
        return "?"
    kind = item[0] & 0x70
    if kind == 0x10:  # a root (My Computer): no name
        return "{root}"
    if kind == 0x20:  # a drive: "C:\"
        return item[1:item.index(b"\0", 1)].decode("latin-1").rstrip("\\")
    if kind == 0x30:  # a folder or file: short name, then an extension block with the long name
        short_end = item.index(b"\0", 12)
        short = item[12:short_end].decode("latin-1")
        ext = short_end + 1
        if ext % 2:
            ext += 1
        if ext + 8 <= len(item):
            (ext_size, version) = struct.unpack_from("<HH", item, ext)
            sig = struct.unpack_from("<I", item, ext + 4)[0]
            if sig == 0xBEEF0004:
                name_off = ext + (0x12 if version < 7 else 0x16 if version < 8 else 0x1A)
                if version >= 3 and name_off < len(item):
                    return utf16z(item, name_off)
        return short
    return "?"


if __name__ == "__main__":
    sys.exit(main())
