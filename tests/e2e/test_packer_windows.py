# SPDX-License-Identifier: 0BSD
"""The Windows build of stubpack, run under Wine, makes launcher files that
run, byte for byte the same as the Linux build's.

    python3 -m unittest tests/e2e/test_packer_windows.py
"""

import json
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

WINDOWS_STUBPACK = winelib.BUILD_WIN / "packer" / "stubpack.exe"
HOST_STUBPACK = winelib.STUBPACK
STUB = winelib.STUB


@unittest.skipUnless(winelib.wine_available() and WINDOWS_STUBPACK.is_file()
                     and HOST_STUBPACK.is_file() and STUB.is_file(),
                     "needs Wine and both builds of stubpack")
class WindowsPacker(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="winpack-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.options = ["--releases", "10,11,unknown", "--admin-mode", "runas",
                        "--unsupported-text", "Needs Windows 10 or later, not %USER%."]

    def windows_build(self, out):
        w = winelib.to_windows_path
        code, stdout, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "build", "--stub", w(STUB), "--setup", w(winelib.probe_exe()),
             "--out", w(out)] + self.options)
        self.assertEqual(code, 0, stdout + stderr)

    def test_same_bytes_as_the_linux_build(self):
        windows_out = self.folder / "windows.exe"
        linux_out = self.folder / "linux.exe"
        self.windows_build(windows_out)
        subprocess.run([str(HOST_STUBPACK), "build", "--stub", str(STUB),
                        "--setup", str(winelib.probe_exe()), "--out", str(linux_out)]
                       + self.options, check=True)
        self.assertEqual(windows_out.read_bytes(), linux_out.read_bytes())

    def test_a_file_set_the_same_on_both_and_back_out_under_wine(self):
        folder = self.folder / "set"
        files = {"setup.exe": winelib.probe_exe().read_bytes(), "data/a.cab": bytes(range(256)) * 300,
                 "data/empty.txt": b"", "Data2/\u00e9t\u00e9.txt": b"summer"}
        for name, data in files.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_bytes(data)
        w = winelib.to_windows_path
        windows_out, linux_out = self.folder / "windows.exe", self.folder / "linux.exe"
        options = ["--entry", "SETUP.EXE", "--block-size", "16K"] + self.options
        code, stdout, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "build", "--stub", w(STUB), "--setup-dir", w(folder),
             "--out", w(windows_out)] + options)
        self.assertEqual(code, 0, stdout + stderr)
        subprocess.run([str(HOST_STUBPACK), "build", "--stub", str(STUB), "--setup-dir",
                        str(folder), "--out", str(linux_out)] + options, check=True)
        self.assertEqual(windows_out.read_bytes(), linux_out.read_bytes())
        code, stdout, stderr = winelib.wine([WINDOWS_STUBPACK, "verify", w(windows_out)])
        self.assertEqual(code, 0, stdout + stderr)
        out = self.folder / "extracted"
        code, stdout, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "extract", w(windows_out), "--out", w(out)])
        self.assertEqual(code, 0, stdout + stderr)
        self.assertEqual({str(p.relative_to(out)): p.read_bytes() for p in out.rglob("*")
                          if p.is_file()}, files)
        # Into a folder that is not empty: refused, and nothing in it changes.
        code, stdout, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "extract", w(windows_out), "--out", w(out)])
        self.assertEqual(code, 1, stdout + stderr)
        self.assertIn("is not empty", stderr)

    def test_an_output_that_is_an_input_is_refused(self):
        # Identity by volume serial number and file index: another spelling
        # (a detour, upper case) names the same file.
        setup = self.folder / "setup.exe"
        shutil.copy(winelib.probe_exe(), setup)
        launcher = self.folder / "launcher.exe"
        self.windows_build(launcher)
        (self.folder / "sub").mkdir()
        w = winelib.to_windows_path
        odd = lambda path: w(self.folder) + "\\sub\\..\\.\\" + path.name.upper()  # noqa: E731
        for args, victim in [
            (["build", "--stub", w(STUB), "--setup", w(setup), "--out", odd(setup)], setup),
            (["extract", w(launcher), "--out", odd(launcher)], launcher),
        ]:
            with self.subTest(args[0]):
                before = victim.read_bytes()
                code, stdout, stderr = winelib.wine([WINDOWS_STUBPACK] + args)
                self.assertEqual(code, 1, stdout + stderr)
                self.assertIn("is the same file as", stderr)
                self.assertEqual(victim.read_bytes(), before)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()),
                         ["launcher.exe", "setup.exe", "sub"])

    def test_the_launcher_it_makes_starts_the_setup_program(self):
        launcher = self.folder / "setup.exe"
        self.windows_build(launcher)
        code, stdout, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "verify", winelib.to_windows_path(launcher)])
        self.assertEqual(code, 0, stdout + stderr)
        temp = self.folder / "temp"
        temp.mkdir()
        report_path = self.folder / "report.json"
        report = winelib.run_launcher(
            launcher, args=["/x"], tmp=temp,
            env={"PROBE_REPORT": winelib.to_windows_path(report_path)})
        self.assertEqual((report["exit_code"], report["boxes"]), (0, []))
        probe = json.loads(report_path.read_text(encoding="utf-8"))
        self.assertTrue(probe["command_line"].endswith(
            '"%s" /x' % winelib.to_windows_path(launcher)))


if __name__ == "__main__":
    unittest.main()
