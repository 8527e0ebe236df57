# SPDX-License-Identifier: 0BSD
"""Builds file-set launcher files for end-to-end tests straight from the file
format, without the packer, so hostile tables can be made that stubpack
would refuse to write.

    f = build_set([("data\\a.cab", b"..."), ("setup.exe", probe)], entry=1)
    f = build_set(files, entry=1, patch=lambda t, entries, blocks: ...)

PATCH gets the table fields, the file entries and the block entries as
dicts and may change them before they are packed; the CRC-32 is computed
afterwards, so only the table's own rules can refuse the file.
"""

import lzma
import struct
import zlib
from dataclasses import dataclass

import launcher_files as lf

FILE_SET_FORM = 0x54455346  # "FSET"
SET_TABLE = struct.Struct("<HHIIIQQQI20s")
SET_FILE = struct.Struct("<QI")
SET_BLOCK = struct.Struct("<QQQI")

TABLE_FIELDS = ("version", "flags", "file_count", "block_count", "entry_index",
                "block_size", "total_size", "package_end", "name_units", "reserved")


@dataclass
class SetFile:
    data: bytes
    table_offset: int
    blocks: list  # the block entries as written


def _compress(data, dict_size):
    filters = [{"id": lzma.FILTER_LZMA1, "lc": 3, "lp": 0, "pb": 2,
                "dict_size": dict_size, "preset": 0}]
    return lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)


def build_set(files, entry, *, block_size=1 << 20, dict_size=1 << 20, patch=None,
              text=lf.DEFAULT_TEXT, detached=False):
    """A launcher file carrying FILES, (path, bytes) pairs in table order,
    ENTRY the index of the file to start."""
    stub = lf.stub_bytes()
    content = b"".join(data for _, data in files)
    names = "".join(path for path, _ in files).encode("utf-16-le")
    block_count = (len(content) + block_size - 1) // block_size
    table = dict(version=1, flags=0, file_count=len(files), block_count=block_count,
                 entry_index=entry, block_size=block_size, total_size=len(content),
                 package_end=0, name_units=len(names) // 2, reserved=bytes(20))
    entries = [dict(size=len(data), name_units=len(path)) for path, data in files]
    table_offset = len(stub) + lf.HEADER.size
    table_size = (SET_TABLE.size + SET_FILE.size * len(entries)
                  + SET_BLOCK.size * block_count + len(names))
    text_bytes = text.encode("utf-16-le")
    crc_end = table_offset + table_size + len(text_bytes)
    packed, blocks = b"", []
    for at in range(0, len(content), block_size):
        piece = content[at:at + block_size]
        block = _compress(piece, dict_size)
        blocks.append(dict(packed_offset=crc_end + len(packed), packed_size=len(block),
                           unpacked_size=len(piece), crc32=zlib.crc32(piece)))
        packed += block
    table["package_end"] = crc_end + len(packed)
    if patch:
        patch(table, entries, blocks)

    header = {
        "lzma_properties": lf.property_bytes(dict_size=dict_size),
        "support_flags": 0x8000000000000F80, "win10_min_code": 1507,
        "win10_max_code": 9999, "win11_min_code": 2110, "win11_max_code": 9999,
        "admin_mode": 2, "reserved1": struct.pack("<I8x", FILE_SET_FORM),
        "payload_offset": 0, "payload_packed_size": 0, "payload_size": -1,
        "reserved2": struct.pack("<QQ6x", table_offset, table_size),
        "text_offset": table_offset + table_size, "text_length": len(text_bytes) // 2,
    }
    data = bytearray(stub)
    data += lf.HEADER.pack(*(header[name] for name in lf.HEADER_FIELDS))
    data += SET_TABLE.pack(*(table[name] for name in TABLE_FIELDS))
    data += b"".join(SET_FILE.pack(e["size"], e["name_units"]) for e in entries)
    data += b"".join(SET_BLOCK.pack(b["packed_offset"], b["packed_size"],
                                    b["unpacked_size"], b["crc32"]) for b in blocks)
    data += names + text_bytes + packed
    package_end = len(data)
    package_offset = len(stub)
    locator = (package_offset, crc_end - package_offset,
               zlib.crc32(bytes(data[package_offset:crc_end])), package_end,
               package_end if detached else 0)
    data[lf.LOCATOR_OFFSET:lf.LOCATOR_OFFSET + lf.LOCATOR.size] = lf.LOCATOR.pack(*locator)
    return SetFile(bytes(data), table_offset, blocks)
