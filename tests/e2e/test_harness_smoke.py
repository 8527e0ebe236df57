# SPDX-License-Identifier: 0BSD
"""harness.exe and probe.exe under Wine, without the launcher.

The launcher's end-to-end tests trust these two programs to report command
lines, exit codes and message boxes faithfully; this proves they do.

    python3 -m unittest tests/e2e/test_harness_smoke.py
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

MINGW_GCC = shutil.which("x86_64-w64-mingw32-gcc")

ADDR_NO_RANDOMIZE = 0x0040000
SHARED_USER_DATA = 0x7FFE0000

# A GUI program that shows three boxes in a row, the last two identical, then
# exits with 7.
BOXES_SOURCE = r"""
#include <windows.h>
int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) {
  (void)a; (void)b; (void)c; (void)d;
  MessageBoxW(NULL, L"Line \u00e9 one\nline \"two\"", L"First", MB_OK | MB_ICONERROR);
  MessageBoxW(NULL, L"Same", L"Again", MB_OK);
  MessageBoxW(NULL, L"Same", L"Again", MB_OK);
  return 7;
}
"""


def setUpModule():
    if not winelib.wine_available():
        raise unittest.SkipTest("wine is not installed")
    if winelib.harness_exe() is None or winelib.probe_exe() is None:
        raise unittest.SkipTest("harness.exe/probe.exe not built in %s" % winelib.BUILD_WIN)
    winelib.ensure_prefix()
    winelib.start_wineserver()


class ProbeThroughHarness(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="harness-smoke-"))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.report_path = self.dir / "report.json"
        self.probe = winelib.probe_exe()

    def run_probe(self, args=(), env=None, **kwargs):
        full_env = {"PROBE_REPORT": winelib.to_windows_path(self.report_path)}
        full_env.update(env or {})
        result = winelib.run_launcher(self.probe, args, env=full_env, **kwargs)
        report = None
        if self.report_path.exists():
            report = json.loads(self.report_path.read_text(encoding="utf-8"))
        return result, report

    def test_reports_command_line_and_exit_code(self):
        result, report = self.run_probe(["a", '"b c"'], env={"PROBE_EXIT_CODE": "42"})
        probe_win = winelib.to_windows_path(self.probe)
        self.assertEqual(result["exit_code"], 42)
        self.assertFalse(result["timed_out"])
        self.assertEqual(result["boxes"], [])
        self.assertEqual(report["command_line"], '"%s" a "b c"' % probe_win)
        self.assertEqual(report["module_path"], probe_win)
        self.assertTrue(report["finished"])
        self.assertIsNone(report["launcher_writable"])

    def test_arguments_reach_the_command_line_verbatim(self):
        # Each case: the arguments given to the harness, and what must follow
        # the quoted program path in the child's command line.
        cases = [
            ([], ""),
            (["x"], " x"),
            (["x  y"], " x  y"),
            (['"C:\\dir with space\\"'], ' "C:\\dir with space\\"'),
            (['a\\\\"b'], ' a\\\\"b'),
            (["\u00fc\u65e5\U0001F600"], " \u00fc\u65e5\U0001F600"),
            (["/S", '/D="C:\\x y"'], ' /S /D="C:\\x y"'),
        ]
        probe_win = winelib.to_windows_path(self.probe)
        for args, tail in cases:
            with self.subTest(args=args):
                self.report_path.unlink(missing_ok=True)
                result, report = self.run_probe(args)
                self.assertEqual(result["exit_code"], 0)
                self.assertEqual(report["command_line"], '"%s"%s' % (probe_win, tail))

    def test_exit_codes_pass_through_unsigned(self):
        for given, seen in [("0", 0), ("1", 1), ("3221225477", 3221225477), ("-1", 4294967295)]:
            with self.subTest(code=given):
                result, _ = self.run_probe(env={"PROBE_EXIT_CODE": given})
                self.assertEqual(result["exit_code"], seen)

    def test_tmp_option_sets_the_childs_temp_path(self):
        tmp = self.dir / "my tmp"
        tmp.mkdir()
        _, report = self.run_probe(tmp=tmp)
        self.assertEqual(report["temp_path"].rstrip("\\"), winelib.to_windows_path(tmp))
        _, report = self.run_probe()
        self.assertNotEqual(report["temp_path"].rstrip("\\"), winelib.to_windows_path(tmp))

    def test_restricted_child_is_not_an_administrator(self):
        _, report = self.run_probe()
        self.assertIs(report["is_admin"], True)
        _, report = self.run_probe(restricted=True)
        self.assertIs(report["is_admin"], False)

    def test_timeout_terminates_the_child(self):
        result, report = self.run_probe(env={"PROBE_SLEEP_MS": "20000"}, timeout_ms=1500)
        self.assertTrue(result["timed_out"])
        self.assertLess(result["elapsed_ms"], 15000)
        # Killed while sleeping: only the first report was written.
        self.assertFalse(report["finished"])

    def test_launcher_writable(self):
        target = self.dir / "launcher.exe"
        target.write_bytes(b"MZ")
        cases = [
            ('"%s"' % winelib.to_windows_path(target), True, 0),
            (winelib.to_windows_path(target), True, 0),
            ('"%s"' % winelib.to_windows_path(self.dir / "missing.exe"), False, 2),
        ]
        for arg, writable, error in cases:
            with self.subTest(arg=arg):
                _, report = self.run_probe([arg, "rest"], env={"PROBE_OPEN_LAUNCHER": "1"})
                self.assertIs(report["launcher_writable"], writable)
                self.assertEqual(report["launcher_error"], error)
                self.assertEqual(report["launcher_path"], arg.strip('"'))

    def test_report_dir_names_report_by_pid(self):
        env = {"PROBE_REPORT": "", "PROBE_REPORT_DIR": winelib.to_windows_path(self.dir)}
        result = winelib.run_launcher(self.probe, env=env)
        self.assertEqual(result["exit_code"], 0)
        reports = list(self.dir.glob("report-*.json"))
        self.assertEqual(len(reports), 1, reports)
        report = json.loads(reports[0].read_text(encoding="utf-8"))
        self.assertEqual(reports[0].name, "report-%d.json" % report["pid"])
        self.assertEqual(list(self.dir.glob("*.tmp")), [])

    def test_programs_run_without_address_randomization(self):
        # With randomization the heap of Wine's loader sometimes covers the
        # shared user data page (0x7ffe0000) and a program dies at start with
        # status 1. The harness and the program it starts must both run with
        # the heap right behind the loader.
        seen = {}

        def sample():
            for pid, argv in winelib._prefix_processes():
                name = argv[0].replace("\\", "/").rsplit("/", 1)[-1].lower()
                if name not in ("harness.exe", "probe.exe"):
                    continue
                try:
                    personality = int(Path("/proc/%d/personality" % pid).read_text(), 16)
                    heap = [line for line in Path("/proc/%d/maps" % pid).read_text().splitlines()
                            if line.endswith("[heap]")]
                except OSError:
                    continue
                if heap:
                    seen[name] = (personality, int(heap[0].split("-")[1].split()[0], 16))

        def sample_while_running():
            deadline = time.monotonic() + 3
            while len(seen) < 2 and time.monotonic() < deadline:
                sample()
                time.sleep(0.05)

        sampler = threading.Thread(target=sample_while_running)
        sampler.start()
        result, _ = self.run_probe(env={"PROBE_SLEEP_MS": "1500"})
        sampler.join()
        self.assertFalse(result["timed_out"])
        self.assertEqual(sorted(seen), ["harness.exe", "probe.exe"])
        for name, (personality, heap_end) in seen.items():
            self.assertTrue(personality & ADDR_NO_RANDOMIZE, name)
            self.assertLess(heap_end, SHARED_USER_DATA, name)


@unittest.skipUnless(MINGW_GCC, "x86_64-w64-mingw32-gcc not installed")
class MessageBoxes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="harness-boxes-"))
        src = cls.dir / "boxes.c"
        src.write_text(BOXES_SOURCE, encoding="utf-8")
        cls.exe = cls.dir / "boxes.exe"
        subprocess.run([MINGW_GCC, "-municode", "-mwindows", "-o", str(cls.exe), str(src)],
                       check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def test_each_box_is_recorded_and_pressed(self):
        result = winelib.run_launcher(self.exe)
        self.assertEqual(result["exit_code"], 7)
        self.assertFalse(result["timed_out"])
        self.assertEqual(result["boxes"], [
            {"caption": "First", "text": 'Line \u00e9 one\nline "two"', "has_icon": True},
            {"caption": "Again", "text": "Same", "has_icon": False},
            {"caption": "Again", "text": "Same", "has_icon": False},
        ])

    def test_no_press_leaves_the_box_until_timeout(self):
        result = winelib.run_launcher(self.exe, press=False, timeout_ms=1500)
        self.assertTrue(result["timed_out"])
        self.assertEqual([b["caption"] for b in result["boxes"]], ["First"])


if __name__ == "__main__":
    unittest.main()
