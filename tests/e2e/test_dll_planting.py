# SPDX-License-Identifier: 0BSD
"""A DLL planted beside the launcher is not loaded by it.

A launcher usually sits in a Downloads folder, next to whatever else was
downloaded. mpr.dll is not one of the modules Windows always takes from its
system folder, so an ordinary import of it would pick up a planted copy. The
launcher loads it from the system folder by full path instead.

Wine prefers its own built-in DLLs; WINEDLLOVERRIDES=mpr=n,b makes it search
for a native mpr.dll the way Windows does, which the control program shows.

    python3 -m unittest tests/e2e/test_dll_planting.py
"""

import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

WINE_HELPERS = winelib.BUILD_WIN / "tests" / "wine"
PLANTED_DLL = WINE_HELPERS / "planted" / "mpr.dll"
CONTROL = WINE_HELPERS / "imports_mpr.exe"
STUB = winelib.STUB
STUBPACK = winelib.STUBPACK


@unittest.skipUnless(winelib.wine_available() and PLANTED_DLL.is_file() and STUB.is_file()
                     and STUBPACK.is_file(), "needs Wine, the Windows build and stubpack")
class PlantedDll(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="planted-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        shutil.copy(PLANTED_DLL, self.folder / "mpr.dll")
        self.marker = self.folder / "planted-dll-was-loaded"
        self.env = {"PLANTED_MARKER": winelib.to_windows_path(self.marker),
                    "WINEDLLOVERRIDES": "mpr=n,b"}

    def test_an_ordinary_import_takes_the_planted_dll(self):
        shutil.copy(CONTROL, self.folder / "control.exe")
        winelib.wine([winelib.to_windows_path(self.folder / "control.exe")], env=self.env)
        self.assertTrue(self.marker.exists(), "the control did not load the planted DLL; "
                        "this Wine cannot show the difference")

    def test_the_launcher_leaves_the_planted_dll_alone(self):
        launcher = self.folder / "setup.exe"
        subprocess.run([str(STUBPACK), "build", "--stub", str(STUB),
                        "--setup", str(winelib.probe_exe()), "--out", str(launcher)],
                       check=True)
        temp = self.folder / "temp"
        temp.mkdir()
        report = winelib.run_launcher(launcher, tmp=temp, env=self.env)
        self.assertEqual(report["boxes"], [])
        self.assertEqual(report["exit_code"], 0)
        self.assertFalse(self.marker.exists())


if __name__ == "__main__":
    unittest.main()
