# SPDX-License-Identifier: 0BSD
"""scripts/relocate_pe_header.py on real MinGW images and on damaged copies.

    python3 -m unittest tests/e2e/test_relocate_pe.py
"""

import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parents[1]
SCRIPT = REPO_ROOT / "scripts" / "relocate_pe_header.py"

sys.path.insert(0, str(SCRIPT.parent))
import relocate_pe_header  # noqa: E402

MINGW_GCC = shutil.which("x86_64-w64-mingw32-gcc")
EXIT_CODE = 42


def lfanew(data):
    return struct.unpack_from("<I", data, 60)[0]


def header_span(data):
    """(start, end) of signature + file header + optional header + section table."""
    start = lfanew(data)
    sections = struct.unpack_from("<H", data, start + 6)[0]
    opt_size = struct.unpack_from("<H", data, start + 20)[0]
    return start, start + 24 + opt_size + 40 * sections


def opt_offset(data):
    return lfanew(data) + 24


def patched(data, offset, fmt, value):
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, value)
    return bytes(out)


def moved_to(data, new_lfanew):
    """DATA with its headers moved to NEW_LFANEW by hand (for odd layouts)."""
    start, end = header_span(data)
    block = data[start:end]
    out = bytearray(data)
    out[start:end] = bytes(end - start)
    out[new_lfanew:new_lfanew + len(block)] = block
    struct.pack_into("<I", out, 60, new_lfanew)
    return bytes(out)


@unittest.skipUnless(MINGW_GCC, "x86_64-w64-mingw32-gcc not installed")
class RelocateMingwImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="relocate-pe-"))
        src = cls.dir / "tiny.c"
        src.write_text("int main(void) { return %d; }\n" % EXIT_CODE)
        # Unstripped (19 sections, debug info) and stripped, GUI and console.
        cls.images = {}
        for name, flags in [("plain", []), ("stripped", ["-s"]), ("gui", ["-s", "-mwindows"])]:
            exe = cls.dir / ("tiny-%s.exe" % name)
            subprocess.run([MINGW_GCC, "-O2", *flags, "-o", str(exe), str(src)], check=True)
            cls.images[name] = exe.read_bytes()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def run_script(self, data, out_name="out.exe"):
        src = self.dir / "in.exe"
        src.write_bytes(data)
        dst = self.dir / out_name
        dst.unlink(missing_ok=True)
        proc = subprocess.run([sys.executable, str(SCRIPT), str(src), str(dst)],
                              capture_output=True, text=True)
        return proc, (dst.read_bytes() if dst.exists() else None), src.read_bytes()

    def test_linker_output_starts_at_128(self):
        # The reason the tool exists; if the linker changes, revisit it.
        for name, data in self.images.items():
            with self.subTest(image=name):
                self.assertEqual(lfanew(data), 128)

    def test_moves_headers_and_clears_locator_area(self):
        for name, data in self.images.items():
            with self.subTest(image=name):
                proc, out, _ = self.run_script(data)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                old_start, old_end = header_span(data)
                self.assertEqual(lfanew(out), 256)
                self.assertEqual(out[128:256], bytes(128))
                # The same header bytes, just elsewhere.
                self.assertEqual(out[256:256 + old_end - old_start], data[old_start:old_end])
                # DOS header (but e_lfanew) and stub untouched; sections untouched.
                self.assertEqual(out[:60], data[:60])
                self.assertEqual(out[64:128], data[64:128])
                self.assertEqual(out[256 + old_end - old_start:], data[256 + old_end - old_start:])
                self.assertEqual(len(out), len(data))

    def test_second_run_changes_nothing(self):
        data = self.images["stripped"]
        once = relocate_pe_header.relocate(data)
        self.assertEqual(relocate_pe_header.relocate(once), once)
        proc, out, _ = self.run_script(once)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(out, once)

    def test_in_place_when_no_output_given(self):
        path = self.dir / "inplace.exe"
        path.write_bytes(self.images["stripped"])
        proc = subprocess.run([sys.executable, str(SCRIPT), str(path)], capture_output=True,
                              text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(lfanew(path.read_bytes()), 256)

    def test_other_starting_offsets(self):
        # Headers found at 192 (overlapping the destination) or above 256
        # still end up at 256 with the same bytes.
        data = self.images["stripped"]
        start, end = header_span(data)
        for origin in (192, 320):
            with self.subTest(origin=origin):
                source = moved_to(data, origin)
                out = relocate_pe_header.relocate(source)
                self.assertEqual(lfanew(out), 256)
                self.assertEqual(out[256:256 + end - start], data[start:end])
                self.assertEqual(out[128:256], bytes(128))
                self.assertEqual(out[256 + end - start:], data[256 + end - start:])

    def test_refuses_images_it_cannot_relocate(self):
        data = self.images["stripped"]
        opt = opt_offset(data)
        start, end = header_span(data)
        first_section = end - 40 * struct.unpack_from("<H", data, start + 6)[0]
        stub_192 = bytearray(moved_to(data, 192))
        stub_192[150] = 0x90
        already = bytearray(relocate_pe_header.relocate(data))
        already[200] = 1
        cases = [
            ("more sections than SizeOfHeaders holds",
             patched(data, start + 6, "<H", 40), "headers do not fit"),
            ("SizeOfHeaders fits the headers only where they are",
             patched(data, opt + 60, "<I", end), "headers do not fit"),
            ("first section's raw data right after the headers",
             patched(data, first_section + 20, "<I", end), "headers do not fit"),
            ("DOS stub reaching past byte 127", bytes(stub_192), "DOS stub"),
            ("e_lfanew 256 with bytes in 128..255", bytes(already), "not zero"),
            ("bound import directory inside the headers",
             patched(data, opt + 112 + 8 * 11, "<Q", (0x40 << 32) | 0x300), "headers area"),
            ("no PE signature at e_lfanew",
             b"MZ" + bytes(58) + struct.pack("<I", 64) + b"not a pe" + bytes(200),
             "no PE signature"),
            ("no MZ", b"ELF" + bytes(300), "not a PE image"),
        ]
        for name, image, message in cases:
            with self.subTest(case=name):
                with self.assertRaises(relocate_pe_header.RelocateError) as ctx:
                    relocate_pe_header.relocate(image)
                self.assertIn(message, str(ctx.exception))
                proc, out, src_after = self.run_script(image)
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn(message, proc.stderr)
                self.assertIsNone(out, "no output may be written on failure")
                self.assertEqual(src_after, image)

    @unittest.skipUnless(shutil.which("wine"), "wine not installed")
    def test_relocated_images_run_under_wine(self):
        sys.path.insert(0, str(HERE))
        import winelib
        for name, data in self.images.items():
            with self.subTest(image=name):
                exe = self.dir / ("run-%s.exe" % name)
                exe.write_bytes(relocate_pe_header.relocate(data))
                code, _, err = winelib.wine([exe], timeout=120)
                self.assertEqual(code, EXIT_CODE, err)


if __name__ == "__main__":
    unittest.main()
