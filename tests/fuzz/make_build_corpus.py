#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Writes the seed corpus of build_fuzz: .ico files (PNG and bitmap images,
and some Windows refuses), text fields, and certificate tables as a sign
command appends them. The first byte of each seed picks the input kind.

Usage: make_build_corpus.py OUT_DIR
"""
import os
import struct
import sys
import zlib


def png(side, depth=8, colour=6, chunks=True):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(4 * side) for _ in range(side))
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, depth, colour, 0, 0, 0))
    return out + (chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"") if chunks else b"")


def dib(side, bits):
    colours = 1 << bits if bits <= 8 else 0
    header = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, 0, 0)
    rows = ((side * bits + 31) // 32 * 4 + (side + 31) // 32 * 4) * side
    return header + bytes(4 * colours) + bytes(range(256)) * (rows // 256) + bytes(rows % 256)


def ico(blobs):
    out, at = struct.pack("<HHH", 0, 1, len(blobs)), 6 + 16 * len(blobs)
    for blob in blobs:
        out += struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(blob), at)
        at += len(blob)
    return out + b"".join(blobs)


def certificate_table(entries, shift=0, size=None):
    table = b""
    for length, revision, kind in entries:
        entry = struct.pack("<IHH", length, revision, kind) + bytes(i & 255 for i in range(max(length - 8, 0)))
        table += entry + bytes(-len(entry) % 8)
    return struct.pack("<hI", shift, len(table) if size is None else size) + table


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = {
        "ico-png": b"\0" + ico([png(16)]),
        "ico-mixed": b"\0" + ico([png(32), dib(16, 4), dib(32, 8), dib(48, 32)]),
        "ico-no-iend": b"\0" + ico([png(16, chunks=False)]),
        "ico-bad-depth": b"\0" + ico([png(16, depth=4)]),
        "ico-shared": b"\0" + ico([dib(16, 1)])[:6] + ico([dib(16, 1)])[6:22] * 3 + dib(16, 1),
        "texts": b"\1" + b"\xff".join([b"Contoso", b"Writer", b"Writer \xe2\x80\x93 Setup",
                                       "© 2026".encode(), b"WriterSetup.exe",
                                       b"\xef\xbb\xbfNeeds Windows 10, not %USER%.\r\n"]),
        "texts-controls": b"\1" + b"\x1b[2J\xff\xe2\x80\xaeevil\xff\xff\xff\xff\n",
        "texts-nul": b"\1\xff\xff\xff\xff\xffbefore\0after",
        "sign-one": b"\2" + certificate_table([(1000, 0x200, 2)]),
        "sign-two": b"\2" + certificate_table([(24, 0x200, 2), (40, 0x100, 2)]),
        "sign-short": b"\2" + certificate_table([], size=7) + bytes(7),
        "sign-overlap": b"\2" + certificate_table([(16, 0x200, 2)], shift=-8),
        "sign-type": b"\2" + certificate_table([(16, 0x200, 1)]),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
