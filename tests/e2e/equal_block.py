#!/usr/bin/env python3
"""Registry data whose LZMA form is exactly as long as the data itself.

    equal_block.py find KEY VALUE   prints the data as hex, then the value's text
    equal_block.py check FILE HEX   exit 0 when FILE holds the data as a
                                    compressed block of that same length

The data name one REG_SZ value (HKEY_AUTO\\KEY, VALUE) whose text mixes a
run of one letter with pseudo-random letters: the run shrinks under LZMA
and the random part grows, so some mix comes out at its own length. The
encoder is the builder's: liblzma's raw LZMA1 in the LZMA1EXT form with
preset 6 and an 8 MiB dictionary, no end marker, called through ctypes.
"check" looks in the built package for the block as the builder writes a
compressed one: the size, the stored size (both 32-bit little-endian, and
equal here) and the compressed bytes.
"""
import ctypes
import random
import struct
import sys

LZMA_FILTER_LZMA1EXT = 0x4000000000000002
LZMA_VLI_UNKNOWN = 0xFFFFFFFFFFFFFFFF


class Filter(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint64), ("options", ctypes.c_void_p)]


lib = ctypes.CDLL("liblzma.so.5")
lib.lzma_lzma_preset.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
lib.lzma_lzma_preset.restype = ctypes.c_int
lib.lzma_raw_buffer_encode.argtypes = [ctypes.POINTER(Filter), ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                       ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t), ctypes.c_size_t]
lib.lzma_raw_buffer_encode.restype = ctypes.c_int


def encode(data: bytes) -> bytes:
    # lzma_options_lzma of liblzma 5.4 (96 bytes on x86_64): dict_size at
    # 0, ext_flags, ext_size_low and ext_size_high at 48, 52 and 56.
    opt = ctypes.create_string_buffer(128)
    if lib.lzma_lzma_preset(opt, 6):
        raise SystemExit("lzma_lzma_preset failed")
    struct.pack_into("<I", opt, 0, 8 << 20)
    struct.pack_into("<III", opt, 48, 0, 0xFFFFFFFF, 0xFFFFFFFF)
    filters = (Filter * 2)(Filter(LZMA_FILTER_LZMA1EXT, ctypes.addressof(opt)), Filter(LZMA_VLI_UNKNOWN, None))
    out = ctypes.create_string_buffer(len(data) * 2 + 1024)
    pos = ctypes.c_size_t(0)
    rc = lib.lzma_raw_buffer_encode(filters, None, data, len(data), out, ctypes.byref(pos), len(out))
    if rc != 0:
        raise SystemExit(f"lzma_raw_buffer_encode failed: {rc}")
    return out.raw[:pos.value]


def text(s: str) -> bytes:
    b = s.encode()
    return struct.pack("<H", len(b)) + b


def stream(key: str, value: str, data: str) -> bytes:
    return (b"\x01" + text("HKEY_AUTO") + b"\x01" + text(key) + b"\x04" + text(value) + b"\x07" + text(data) +
            b"\xff\xff")


def find(key: str, value: str) -> tuple:
    rng = random.Random(1)
    for repeated in range(0, 200):
        for extra in range(8, 120, 3):
            t = "a" * repeated + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(extra))
            d = stream(key, value, t)
            if len(encode(d)) == len(d):
                return d, t
    raise SystemExit("no registry data of equal stored size found")


def main() -> int:
    if len(sys.argv) == 4 and sys.argv[1] == "find":
        data, t = find(sys.argv[2], sys.argv[3])
        print(data.hex())
        print(t)
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        data = bytes.fromhex(sys.argv[3])
        packed = encode(data)
        if len(packed) != len(data):
            print(f"the data pack into {len(packed)} bytes, not {len(data)}", file=sys.stderr)
            return 1
        with open(sys.argv[2], "rb") as f:
            pkg = f.read()
        block = struct.pack("<ii", len(data), len(packed)) + packed
        if pkg.count(block) != 1:
            print(f"the package holds the compressed block {pkg.count(block)} times", file=sys.stderr)
            return 1
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
