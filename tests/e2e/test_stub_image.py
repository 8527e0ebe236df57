# SPDX-License-Identifier: 0BSD
"""The built Stub64.exe as a file: layout, imports, size and resources.

    python3 -m unittest tests/e2e/test_stub_image.py
"""

import os
import struct
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

STUB = winelib.STUB

# Modules Windows always takes from its system folder (KnownDLLs), wherever
# the launcher sits, and that every launch needs. Anything else is loaded at
# run time by full path, when it is needed.
ALLOWED_IMPORTS = {"kernel32.dll", "advapi32.dll"}
# File sets and decoding on every core may take the stub to 60 KiB; the
# progress window may add 4 KiB more.
SIZE_LIMIT = 64 * 1024
SUPPORTED_OS_GUIDS = [
    "e2011457-1546-43c5-a5fe-008deee3d3f0",
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
    "1f676c76-80e1-4239-95bb-83d0f6d0da78",
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",
]


class PeImage:
    """Just enough PE32+ parsing to read sections and the import table."""

    def __init__(self, data):
        self.data = data
        self.pe = struct.unpack_from("<I", data, 60)[0]
        sections = struct.unpack_from("<H", data, self.pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, self.pe + 20)[0]
        self.optional = self.pe + 24
        self.subsystem = struct.unpack_from("<H", data, self.optional + 68)[0]
        self.directories = self.optional + 112
        self.sections = []
        table = self.optional + optional_size
        for i in range(sections):
            entry = table + 40 * i
            name = data[entry:entry + 8].rstrip(b"\0").decode()
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((name, rva, max(vsize, rawsize), rawptr))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x is in no section" % rva)

    def c_string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imported_modules(self):
        rva, _ = self.directory(1)
        at = self.offset(rva)
        modules = []
        while True:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                return modules
            modules.append(self.c_string(name_rva).lower())
            at += 20


@unittest.skipUnless(STUB.is_file(), "Stub64.exe not built")
class StubImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = STUB.read_bytes()
        cls.image = PeImage(cls.data)

    def test_locator_bytes_are_free_and_the_pe_header_moved_to_256(self):
        self.assertEqual(self.data[:2], b"MZ")
        self.assertEqual(self.image.pe, 256)
        self.assertEqual(self.data[256:260], b"PE\0\0")
        self.assertEqual(self.data[128:256], bytes(128))

    def test_gui_subsystem_for_x86_64(self):
        machine = struct.unpack_from("<H", self.data, self.image.pe + 4)[0]
        self.assertEqual(machine, 0x8664)
        self.assertEqual(self.image.subsystem, 2)  # no console window

    def test_imports_only_modules_windows_takes_from_its_system_folder(self):
        modules = set(self.image.imported_modules())
        self.assertTrue(modules, "no import table found")
        self.assertLessEqual(modules, ALLOWED_IMPORTS)

    def test_fits_the_size_budget(self):
        self.assertLessEqual(len(self.data), SIZE_LIMIT)

    def test_manifest_asks_for_no_elevation_and_declares_the_releases(self):
        text = self.data.decode("latin-1")
        start = text.find("<assembly")
        self.assertGreaterEqual(start, 0, "no manifest resource")
        manifest = text[start:text.find("</assembly>", start)]
        self.assertIn('level="asInvoker"', manifest)
        self.assertIn('uiAccess="false"', manifest)
        self.assertIn(">true</dpiAware>", manifest)
        for guid in SUPPORTED_OS_GUIDS:
            self.assertIn("{%s}" % guid, manifest)


if __name__ == "__main__":
    unittest.main()
