# SPDX-License-Identifier: 0BSD
"""How the real launcher starts the setup program, under Wine.

The setup program is probe.exe, which reports its command line, current
directory and token. Under Wine the prefix user is an administrator, so a
plain run takes the direct start (CreateProcessW); a run with a restricted
token (no Administrators group) takes the shell start (ShellExecuteExW).

Wine 8 carries out "runas" without elevating, so the verb leaves no trace the
probe could see: these tests assert the parameters only, and the host tests
(tests/unit/launch_test.cpp) prove which verb is chosen.

    BUILD_WIN=build/win WINEPREFIX=build/wineprefix-gate \
        python3 -m unittest -v tests/e2e/test_launch.py
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
import launcher_files  # noqa: E402
import winelib  # noqa: E402

STUBPACK = winelib.STUBPACK
STUB = winelib.STUB

NOT_EXECUTED = launcher_files.LAUNCH_FAILED
# Wine's ShellExecuteExW leaves no error behind a failed start; the launcher
# then ends with ERROR_INSTALL_FAILURE. CreateProcessW leaves
# ERROR_BAD_EXE_FORMAT.
FAILED_START_CODES = {False: 193, True: 1603}

# Launcher name -> stubpack options; the setup program is probe.exe unless
# the name says otherwise.
PACKAGES = {
    "noadmin": ["--admin-mode", "noadmin"],
    "runas": ["--admin-mode", "runas"],
    "none": ["--admin-mode", "none"],
    "detached": ["--detached"],
    "refused": ["--releases", "xp"],
    "garbage": [],
}


def setUpModule():
    if not winelib.wine_available():
        raise unittest.SkipTest("wine is not installed")
    missing = [p for p in (STUB, STUBPACK, winelib.harness_exe(), winelib.probe_exe())
               if p is None or not Path(p).is_file()]
    if missing:
        raise unittest.SkipTest("not built: %s" % missing)
    winelib.ensure_prefix()
    winelib.start_wineserver()


def win(path):
    return winelib.to_windows_path(path)


class Launch(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="launch-e2e-"))
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        # These packages admit every Windows 10 the prefix may simulate, but
        # not Windows 8 and earlier.
        saved_version = winelib.windows_version()
        if saved_version != "win10":
            winelib.set_windows_version("win10")
            cls.addClassCleanup(winelib.set_windows_version, saved_version or "win10")

        cls.probe_bytes = Path(winelib.probe_exe()).read_bytes()
        cls.garbage = os.urandom(6000)
        (cls.dir / "garbage.bin").write_bytes(cls.garbage)
        # A space in the folder and the name: quoting matters everywhere.
        folder = cls.dir / "launch dir"
        folder.mkdir()
        cls.launchers = {}
        for name, options in PACKAGES.items():
            setup = cls.dir / "garbage.bin" if name == "garbage" else winelib.probe_exe()
            out = folder / ("my %s.exe" % name)
            subprocess.run([str(STUBPACK), "build", "--stub", str(STUB), "--setup", str(setup),
                            "--out", str(out), *options],
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           timeout=60)
            cls.launchers[name] = out

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="case-", dir=self.dir))
        self.counter = 0

    def fresh(self):
        """A new empty temporary folder and report path."""
        self.counter += 1
        tmp = self.work / ("tmp%d" % self.counter)
        tmp.mkdir()
        return tmp, self.work / ("report%d.json" % self.counter)

    def launch(self, name, args=(), restricted=False, env=None, **kwargs):
        """Runs a launcher; returns (harness result, probe report or None,
        temporary folder)."""
        tmp, report_path = self.fresh()
        full_env = {"PROBE_REPORT": win(report_path)}
        full_env.update(env or {})
        result = winelib.run_launcher(self.launchers[name], args, tmp=tmp,
                                      restricted=restricted, env=full_env,
                                      timeout_ms=kwargs.pop("timeout_ms", 20000), **kwargs)
        self.assertFalse(result["timed_out"])
        report = None
        if report_path.exists():
            report = json.loads(report_path.read_text(encoding="utf-8"))
        return result, report, tmp

    def wait_finished(self, report_path, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if report_path.exists():
                report = json.loads(report_path.read_text(encoding="utf-8"))
                if report["finished"]:
                    return report
            time.sleep(0.05)
        self.fail("the setup program did not finish")

    def wait_started(self, report_path, timeout=20):
        deadline = time.monotonic() + timeout
        while not report_path.exists():
            if time.monotonic() > deadline:
                self.fail("the setup program did not start")
            time.sleep(0.02)

    # --- direct start ------------------------------------------------------

    def test_direct_start_command_line_and_directory(self):
        launcher = self.launchers["noadmin"]
        # Raw launcher arguments -> what follows the quoted launcher path.
        cases = [
            ([], ""),
            (["/S", "--lang=en"], " /S --lang=en"),
            (['"a b"'], ' "a b"'),
            (['"ab"'], " ab"),
            (['a"b c"d'], ' "ab cd"'),
            (["a", '""', "b"], " a b"),
            (["x", '"'], " x"),
            (['"never closed here'], ' "never closed here"'),
            (['"C:\\My Dir\\"', "z"], ' "C:\\My Dir\\" z'),
            (['"tab\there"'], " tab\there"),
            (["a    b"], " a b"),
            (["\u00fc\u65e5"], " \u00fc\u65e5"),
            # No silent-switch rule in the direct start: nothing appended.
            (["/silent"], " /silent"),
        ]
        for args, tail in cases:
            with self.subTest(args=args):
                result, report, tmp = self.launch("noadmin", args)
                self.assertEqual(result["exit_code"], 0)
                self.assertEqual(result["boxes"], [])
                copy = report["module_path"]
                self.assertIs(report["is_admin"], True)
                self.assertIsNotNone(launcher_files.private_folder_of(copy, tmp, launcher.name))
                self.assertEqual(report["command_line"],
                                 '"%s" "%s"%s' % (copy, win(launcher), tail))
                self.assertEqual(report["current_directory"].rstrip("\\"), win(launcher.parent))
                self.assertEqual(os.listdir(tmp), [])

    # --- attached and detached mode ---------------------------------------

    def test_attached_mode_waits_then_deletes_the_copy(self):
        sleep_ms = 1500
        for restricted in (False, True):
            with self.subTest(shell_start=restricted):
                result, report, tmp = self.launch(
                    "noadmin", restricted=restricted,
                    env={"PROBE_SLEEP_MS": sleep_ms, "PROBE_EXIT_CODE": 7})
                self.assertIs(report["is_admin"], not restricted)
                self.assertTrue(report["finished"])
                self.assertGreaterEqual(result["elapsed_ms"], sleep_ms)
                self.assertEqual(result["exit_code"], 7)
                self.assertEqual(result["boxes"], [])
                self.assertEqual(os.listdir(tmp), [])

    def test_attached_mode_ends_with_the_setup_programs_exit_code(self):
        # What deployment tools read: success, reboot, failure, and a crash
        # code above 2^31 that must survive as an unsigned 32-bit value.
        for code in (0, 3010, 1603, 0xC0000005):
            for restricted in (False, True):
                with self.subTest(code=code, shell_start=restricted):
                    result, report, tmp = self.launch(
                        "noadmin", restricted=restricted, env={"PROBE_EXIT_CODE": code})
                    self.assertTrue(report["finished"])
                    self.assertEqual(result["exit_code"], code)
                    self.assertEqual(result["boxes"], [])
                    self.assertEqual(os.listdir(tmp), [])

    def test_detached_mode_returns_at_once_and_keeps_the_copy(self):
        sleep_ms = 3000
        launcher = self.launchers["detached"]
        for restricted in (False, True):
            with self.subTest(shell_start=restricted):
                tmp, report_path = self.fresh()
                result = winelib.run_launcher(
                    launcher, ["/S"], tmp=tmp, restricted=restricted, timeout_ms=20000,
                    env={"PROBE_REPORT": win(report_path), "PROBE_SLEEP_MS": sleep_ms,
                         "PROBE_EXIT_CODE": 7})
                self.assertFalse(result["timed_out"])
                self.assertEqual(result["exit_code"], 0)
                self.assertEqual(result["boxes"], [])
                # Far below the sleep: the launcher did not wait.
                self.assertLess(result["elapsed_ms"], sleep_ms / 2)
                report = self.wait_finished(report_path)
                self.assertIs(report["is_admin"], not restricted)
                private = launcher_files.private_folder_of(report["module_path"], tmp,
                                                           launcher.name)
                self.assertIsNotNone(private)
                self.assertEqual((private / launcher.name).read_bytes(), self.probe_bytes)

    def test_launcher_file_is_released_while_setup_runs(self):
        # A running image may be renamed but not opened for writing, under
        # Wine as on Windows, so renaming is what tells whether the launcher
        # still holds its own file (opened without delete sharing). While the
        # refusal box is up the launcher does hold it: the control case.
        def try_rename(path):
            moved = path.with_name("moved.exe")
            winelib.wine(["cmd", "/c", "move", win(path), win(moved)])
            if moved.exists():
                moved.rename(path)
                return True
            return False

        cases = [
            ("noadmin", {"PROBE_SLEEP_MS": 3000}, True, True),
            ("refused", {}, False, False),
        ]
        for name, env, press, renamable in cases:
            with self.subTest(name):
                launcher = self.launchers[name]
                tmp, report_path = self.fresh()
                done = {}

                def run():
                    done.update(winelib.run_launcher(
                        launcher, tmp=tmp, press=press, timeout_ms=6000 if press else 2500,
                        env={"PROBE_REPORT": win(report_path), **env}))

                thread = threading.Thread(target=run)
                thread.start()
                try:
                    if press:
                        self.wait_started(report_path)
                    else:
                        time.sleep(1.0)  # until the box is up
                    self.assertEqual(try_rename(launcher), renamable)
                finally:
                    thread.join()
                if press:
                    self.assertFalse(done["timed_out"])
                    self.assertEqual(done["boxes"], [])
                else:
                    self.assertEqual(len(done["boxes"]), 1)

    # --- shell start (not an administrator) ---------------------------------

    def test_shell_start_parameters(self):
        # (package, raw launcher arguments, what follows the quoted launcher path)
        cases = [
            ("noadmin", [], " /noadmin"),
            ("runas", [], " /noadmin"),
            ("none", [], " /noadmin"),
            ("runas", ["/S"], " /S"),
            ("noadmin", ["/S"], " /S /noadmin"),
            ("none", ["/S"], " /S"),
            ("runas", ["/silent"], " /silent"),
            ("runas", ["/SILENT", "x"], " /SILENT x"),
            ("runas", ["/s", "a", "b"], " /s a b"),
            ("runas", ["a", "/Silent", "b"], " a /Silent b"),
            ("runas", ["a", "b", "/S"], " a b /S"),
            ("runas", ["/S", "/silent"], " /S /silent"),
            ("runas", ['"/S"'], " /S"),
            ("none", ['"a b"', "/S"], ' "a b" /S'),
            # Only whole arguments are switches.
            ("runas", ["/silent=1"], " /silent=1 /noadmin"),
            ("runas", ["-s"], " -s /noadmin"),
            ("runas", ["/sil"], " /sil /noadmin"),
            ("runas", ['"/s x"'], ' "/s x" /noadmin'),
        ]
        for name, args, tail in cases:
            with self.subTest(package=name, args=args):
                launcher = self.launchers[name]
                result, report, tmp = self.launch(name, args, restricted=True)
                self.assertEqual(result["exit_code"], 0)
                self.assertEqual(result["boxes"], [])
                self.assertIs(report["is_admin"], False)
                copy = report["module_path"]
                self.assertIsNotNone(launcher_files.private_folder_of(copy, tmp, launcher.name))
                # Wine's shell puts the file in quotes before the parameters.
                self.assertEqual(report["command_line"],
                                 '"%s" "%s"%s' % (copy, win(launcher), tail))
                # No directory is given: the launcher's own (inherited from
                # the harness, i.e. this process's) stays, not its folder.
                self.assertEqual(report["current_directory"].rstrip("\\"),
                                 win(os.getcwd()).rstrip("\\"))
                self.assertEqual(os.listdir(tmp), [])

    # --- a start that fails -------------------------------------------------

    def test_failed_start_keeps_the_copy(self):
        launcher = self.launchers["garbage"]
        for restricted in (False, True):
            with self.subTest(shell_start=restricted):
                result, report, tmp = self.launch("garbage", restricted=restricted)
                self.assertIsNone(report)
                # The start's own error, never a code read as success.
                self.assertEqual(result["exit_code"], FAILED_START_CODES[restricted])
                # Wine's shell shows its own "Bad EXE format" box first; the
                # launcher's single box comes last.
                own = [b for b in result["boxes"] if b["caption"] == win(launcher)]
                self.assertEqual(own, [{"caption": win(launcher), "text": NOT_EXECUTED,
                                        "has_icon": True}])
                self.assertEqual(result["boxes"][-1], own[0])
                # In its private folder, the only thing in TMP.
                [private] = launcher_files.private_folders(tmp)
                self.assertEqual(os.listdir(tmp), [private.name])
                self.assertEqual(os.listdir(private), [launcher.name])
                self.assertEqual((private / launcher.name).read_bytes(), self.garbage)

    # --- nobody to see a box ------------------------------------------------

    def test_where_nobody_can_see_a_box_the_reason_goes_to_the_event_log(self):
        # A deployment tool running as SYSTEM: the window station is not
        # visible, so a box would hang until the tool's time limit. Every stop
        # ends at once with its code instead, and writes one error event with
        # the box's text, the launcher's path and the code. Where a box can
        # be seen, it is shown and nothing is written.
        truncated = self.work / "truncated.exe"
        truncated.write_bytes(self.launchers["noadmin"].read_bytes()[:-1])
        cases = [
            ("damaged", Path(STUB), None, 1620, 1, []),
            ("truncated", truncated, None, 1619, 2, []),
            ("refused", self.launchers["refused"], None, 1654, 4, []),
            ("temporary copy", self.launchers["noadmin"], "missing", 1632, 3, []),
            ("failed start", self.launchers["garbage"], None, FAILED_START_CODES[False], 5,
             [str(FAILED_START_CODES[False])]),
        ]
        for what, launcher, tmp_name, code, event_id, windows_error in cases:
            with self.subTest(what):
                runs = {}
                for visible in (True, False):
                    tmp, _ = self.fresh()
                    if tmp_name:
                        tmp = tmp / tmp_name
                    runs[visible] = winelib.run_launcher(
                        launcher, tmp=tmp, timeout_ms=10000, invisible_station=not visible,
                        env=winelib.EVENT_LOG_DEBUG)
                    self.assertFalse(runs[visible]["timed_out"],
                                     "a box is waiting where nobody sees it")
                    self.assertEqual(runs[visible]["exit_code"], code)
                shown = [b["text"] for b in runs[True]["boxes"] if b["caption"] == win(launcher)]
                self.assertEqual(len(shown), 1)
                self.assertNotIn("%USER%", shown[0])
                self.assertEqual(winelib.application_log_events(runs[True]["wine_stderr"]), [])
                self.assertEqual(runs[False]["boxes"], [])
                self.assertLess(runs[False]["elapsed_ms"], 5000)
                strings = [shown[0], win(launcher), str(code)] + windows_error
                self.assertEqual(winelib.application_log_events(runs[False]["wine_stderr"]), [{
                    "source": winelib.wine_debugstr(launcher.name), "type": 1,  # error
                    "event_id": event_id, "count": len(strings),
                    "strings": [winelib.wine_debugstr(s) for s in strings]}])
        # And the setup program itself runs there as anywhere else.
        result, report, _ = self.launch("noadmin", invisible_station=True,
                                        env={"PROBE_EXIT_CODE": 3010})
        self.assertEqual(result["exit_code"], 3010)
        self.assertTrue(report["finished"])


if __name__ == "__main__":
    unittest.main()
