#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Writes the seed corpus of the set-table fuzz target: real set tables,
taken from launcher files stubpack builds from small folders (nested
folders, empty files, an .exe or an .msi entry, names beyond ASCII, block
sizes from 4 KiB up), and damaged variants of each (a name broken by
each path rule, two names swapped, a count off by one, a block moved, the
file cut before packageEnd).

Each seed is the table's file offset and the launcher file's size (8 bytes
each, little-endian), then the table, as the target reads it.

Usage: make_set_table_corpus.py STUBPACK OUT_DIR
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

FOLDERS = {
    "one": ({"setup.exe": 5000}, "setup.exe", "4K"),
    "nested": ({"setup.exe": 3000, "data/a.cab": 9000, "data/b.cab": 0, "data/sub/c.bin": 100,
                "readme.txt": 10}, "setup.exe", "4K"),
    "msi": ({"product.msi": 20000, "data1.cab": 70000, "Data2.cab": 10}, "product.msi", "64K"),
    "unicode": ({"\u00e9t\u00e9/setup.exe": 500, "\u0416\u0443\u043a.txt": 30,
                 "\uff41.bin": 0}, "\u00e9t\u00e9/setup.exe", "4K"),
    "many": ({"f%03d.dll" % i: i * 7 for i in range(120)} | {"setup.exe": 100}, "setup.exe",
             "8K"),
}

# Replacements for the first name's first unit, one per path rule.
BROKEN_UNITS = [":", "\\", "/", "\x01", "*", "\ud800", "."]


def seed(offset, file_size, table):
    return struct.pack("<QQ", offset, file_size) + bytes(table)


def real_tables(stubpack, work):
    for name, (files, entry, block) in FOLDERS.items():
        folder = os.path.join(work, name)
        for path, size in files.items():
            full = os.path.join(folder, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(bytes((i * 31 + len(path)) % 251 for i in range(size)))
        out = os.path.join(work, name + ".exe")
        subprocess.run([stubpack, "build", "--setup-dir", folder, "--entry", entry,
                        "--block-size", block, "--preset", "0", "--out", out], check=True)
        info = json.loads(subprocess.run([stubpack, "inspect", out, "--json"], check=True,
                                         capture_output=True, text=True).stdout)
        table = info["setTable"]
        with open(out, "rb") as f:
            data = f.read()
        yield name, table["offset"], len(data), bytearray(
            data[table["offset"]:table["offset"] + table["size"]])


def variants(offset, file_size, table):
    files, blocks = struct.unpack_from("<II", table, 4)
    names = 64 + 12 * files + 28 * blocks
    for i, unit in enumerate(BROKEN_UNITS):
        broken = bytearray(table)
        broken[names:names + 2] = unit.encode("utf-16-le", "surrogatepass")
        yield "name-%d" % i, offset, file_size, broken
    if files > 1:  # the first two entries' sizes and names swapped: out of order
        first = struct.unpack_from("<I", table, 64 + 8)[0]
        second = struct.unpack_from("<I", table, 64 + 12 + 8)[0]
        swapped = bytearray(table)
        swapped[64:64 + 24] = table[64 + 12:64 + 24] + table[64:64 + 12]
        swapped[names:names + 2 * (first + second)] = (
            table[names + 2 * first:names + 2 * (first + second)] + table[names:names + 2 * first])
        yield "swapped", offset, file_size, swapped
    for field, at, width in (("fileCount", 4, "<I"), ("blockCount", 8, "<I"),
                             ("entryIndex", 12, "<I"), ("totalSize", 24, "<Q")):
        off_by_one = bytearray(table)
        struct.pack_into(width, off_by_one, at, struct.unpack_from(width, table, at)[0] + 1)
        yield "count-" + field, offset, file_size, off_by_one
    if blocks:
        moved = bytearray(table)
        at = 64 + 12 * files
        struct.pack_into("<Q", moved, at, struct.unpack_from("<Q", table, at)[0] - 1)
        yield "block-moved", offset, file_size, moved
    package_end = struct.unpack_from("<Q", table, 32)[0]
    yield "cut", offset, package_end - 1, table


def main():
    stubpack, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="set-table-corpus-")
    try:
        for name, offset, size, table in real_tables(stubpack, work):
            with open(os.path.join(out_dir, "table-" + name), "wb") as f:
                f.write(seed(offset, size, table))
            for kind, o, s, t in variants(offset, size, table):
                with open(os.path.join(out_dir, "table-%s-%s" % (name, kind)), "wb") as f:
                    f.write(seed(o, s, t))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
