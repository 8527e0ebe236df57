#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Moves a PE image's NT headers to file offset 256.

    relocate_pe_header.py IN [OUT]      (OUT defaults to IN, rewritten in place)

MinGW's linker puts the PE header at offset 128 (e_lfanew = 128), where the
package locator has to live. This moves the "PE\\0\\0" signature, the COFF file
header, the optional header and the section table, unchanged, to offset 256,
sets e_lfanew to 256 and zeroes bytes 128..255 and whatever the old header
occupied outside its new place. Nothing else changes: the headers are not
mapped at fixed RVAs, so no RVA moves. The optional header's CheckSum is not
recomputed: MinGW's ld fills it in, the move leaves it stale (the loader
ignores it for applications; Authenticode signing rewrites it), and a note
says so.

It refuses, exiting non-zero, when the DOS stub reaches byte 128, when the
moved headers would pass SizeOfHeaders or the first section's raw data, or when
the headers area holds anything else the move would damage. An image whose
e_lfanew is already 256 is checked and written out unchanged.
"""

import os
import struct
import sys
import tempfile

NEW_LFANEW = 256
LOCATOR_START = 128  # bytes 128..255 must end up zero

# Data directories addressed by RVA that may point into the headers area.
# The certificate table (index 4) holds a file offset past the sections.
CERTIFICATE_DIRECTORY = 4


class RelocateError(Exception):
    pass


def u16(data, off):
    return struct.unpack_from("<H", data, off)[0]


def u32(data, off):
    return struct.unpack_from("<I", data, off)[0]


def parse_headers(data):
    """Returns a dict describing the NT headers of DATA (a bytes-like PE)."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise RelocateError("not a PE image: no MZ signature")
    lfanew = u32(data, 60)
    if lfanew < 64 or lfanew + 24 > len(data):
        raise RelocateError("e_lfanew %d is out of range (file is %d bytes)" % (lfanew, len(data)))
    if data[lfanew:lfanew + 4] != b"PE\0\0":
        raise RelocateError("no PE signature at e_lfanew %d" % lfanew)
    coff = lfanew + 4
    num_sections = u16(data, coff + 2)
    opt_size = u16(data, coff + 16)
    opt = coff + 20
    if opt_size < 64 or opt + opt_size > len(data):
        raise RelocateError("optional header size %d is implausible" % opt_size)
    magic = u16(data, opt)
    if magic == 0x20B:
        dir_count_off, dirs_off = opt + 108, opt + 112
    elif magic == 0x10B:
        dir_count_off, dirs_off = opt + 92, opt + 96
    else:
        raise RelocateError("unknown optional header magic 0x%x" % magic)
    size_of_headers = u32(data, opt + 60)
    checksum = u32(data, opt + 64)
    sections_off = opt + opt_size
    end = sections_off + 40 * num_sections
    if end > len(data):
        raise RelocateError("section table runs past the end of the file")

    first_raw = None
    for i in range(num_sections):
        s = sections_off + 40 * i
        raw_size, raw_ptr = u32(data, s + 16), u32(data, s + 20)
        if raw_size and raw_ptr and (first_raw is None or raw_ptr < first_raw):
            first_raw = raw_ptr

    dirs = []
    dir_count = u32(data, dir_count_off)
    for i in range(min(dir_count, (opt + opt_size - dirs_off) // 8)):
        rva, size = struct.unpack_from("<II", data, dirs_off + 8 * i)
        dirs.append((i, rva, size))

    return {
        "lfanew": lfanew,
        "end": end,
        "length": end - lfanew,
        "size_of_headers": size_of_headers,
        "first_raw": first_raw,
        "checksum": checksum,
        "directories": dirs,
        "num_sections": num_sections,
    }


def check_fits(h, start):
    """Raises unless headers of H placed at START fit before the sections."""
    new_end = start + h["length"]
    if new_end > h["size_of_headers"]:
        raise RelocateError(
            "headers do not fit: moved to %d they end at %d, past SizeOfHeaders %d "
            "(%d sections)" % (start, new_end, h["size_of_headers"], h["num_sections"]))
    if h["first_raw"] is not None and new_end > h["first_raw"]:
        raise RelocateError(
            "headers do not fit: moved to %d they end at %d, past the first section's "
            "raw data at %d" % (start, new_end, h["first_raw"]))
    # Data directories that live inside the headers area (bound imports, for
    # one) would be overwritten or orphaned by the move.
    for index, rva, size in h["directories"]:
        if index == CERTIFICATE_DIRECTORY or not rva or not size:
            continue
        if rva < h["size_of_headers"]:
            raise RelocateError("data directory %d lies in the headers area (RVA 0x%x); "
                                "cannot move the headers safely" % (index, rva))


def relocate(data):
    """Returns the relocated image as bytes (DATA itself when already relocated)."""
    h = parse_headers(data)
    old, length = h["lfanew"], h["length"]

    if old == NEW_LFANEW:
        check_fits(h, NEW_LFANEW)
        if any(data[LOCATOR_START:NEW_LFANEW]):
            raise RelocateError("e_lfanew is already 256 but bytes 128..255 are not zero")
        return bytes(data)

    # The DOS stub spans 64..e_lfanew; its content must end before byte 128,
    # since 128..255 are about to be zeroed.
    if old > LOCATOR_START and any(data[LOCATOR_START:min(old, NEW_LFANEW)]):
        raise RelocateError("DOS stub reaches into bytes 128..%d (e_lfanew %d)"
                            % (min(old, NEW_LFANEW) - 1, old))
    check_fits(h, NEW_LFANEW)

    # Everything the moved block will cover, outside the old block, must be
    # zero padding; anything else is data the move would destroy.
    old_range = range(old, old + length)
    for off in range(NEW_LFANEW, NEW_LFANEW + length):
        if off not in old_range and data[off]:
            raise RelocateError("byte %d, which the moved headers would cover, is not zero" % off)

    out = bytearray(data)
    block = bytes(data[old:old + length])  # a copy, so overlapping moves work
    out[old:old + length] = bytes(length)
    out[LOCATOR_START:NEW_LFANEW] = bytes(NEW_LFANEW - LOCATOR_START)
    out[NEW_LFANEW:NEW_LFANEW + length] = block
    struct.pack_into("<I", out, 60, NEW_LFANEW)

    # Read back what a loader would see.
    moved = parse_headers(out)
    if moved["lfanew"] != NEW_LFANEW or bytes(out[NEW_LFANEW:moved["end"]]) != block:
        raise RelocateError("internal error: moved headers do not read back")
    if any(out[LOCATOR_START:NEW_LFANEW]):
        raise RelocateError("internal error: bytes 128..255 are not zero")
    return bytes(out)


def write_atomically(path, data):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".relocate-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        if os.path.exists(path):
            os.chmod(tmp, os.stat(path).st_mode & 0o7777)
        else:
            os.chmod(tmp, 0o755)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: relocate_pe_header.py IN [OUT]", file=sys.stderr)
        return 2
    src = argv[1]
    dst = argv[2] if len(argv) == 3 else src
    with open(src, "rb") as f:
        data = f.read()
    try:
        before = parse_headers(data)
        out = relocate(data)
    except RelocateError as e:
        print("relocate_pe_header: %s: %s" % (src, e), file=sys.stderr)
        return 1
    if before["checksum"] and out != data:
        print("relocate_pe_header: %s: note: CheckSum 0x%08x is now stale"
              % (src, before["checksum"]), file=sys.stderr)
    if out != data or dst != src:
        write_atomically(dst, out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
