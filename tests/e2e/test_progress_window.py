# SPDX-License-Identifier: 0BSD
"""The progress window, drawn for real: Wine's x11 driver on Xvfb, in a
virtual desktop with a taskbar (display.py), watched and pressed by
harness.exe.

ProgressWindowDemo drives the window through progress_demo.exe, which calls
the launcher's own platform code: what it looks like at each DPI and in a
high-contrast scheme, every way to cancel it, the hand-over to the setup
program and the second start that raises it. LauncherProgressWindow runs
real launcher files whose setup program is probe.exe with random bytes
behind it, enough for several seconds of decoding. Screenshots are kept in
build/host/artifacts.
"""

import hashlib
import lzma
import random
import re
import subprocess
import tempfile
import types
import unittest
from pathlib import Path

import display
import launcher_files
import winelib

DEMO = winelib.find_exe("progress_demo.exe")
WINDOW = ["--progress-class", display.PROGRESS_CLASS]

bed = None


def setUpModule():
    global bed
    reason = display.available()
    if reason:
        raise unittest.SkipTest(reason)
    if DEMO is None or winelib.probe_exe() is None:
        raise unittest.SkipTest("progress_demo.exe/probe.exe not built in %s" % winelib.BUILD_WIN)
    bed = display.DisplayBed()
    bed.start()


def tearDownModule():
    if bed:
        bed.stop()


def pixel(png, x, y):
    """The (r, g, b) of one pixel of a screenshot, 8 bits each."""
    out = subprocess.run(["convert", str(png), "-crop", "1x1+%d+%d" % (x, y), "-depth", "8",
                          "txt:-"], check=True, capture_output=True, text=True).stdout
    r, g, b = re.search(r"\((\d+),(\d+),(\d+)", out).groups()
    return int(r), int(g), int(b)


def share_of_colour(png, x, y, width, height, rgb):
    """How much of a rectangle of a screenshot has exactly that colour."""
    out = subprocess.run(["convert", str(png), "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                          "+repage", "-fill", "black", "+opaque", "rgb(%d,%d,%d)" % rgb,
                          "-fill", "white", "-opaque", "rgb(%d,%d,%d)" % rgb,
                          "-format", "%[fx:mean]", "info:"],
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def quoted(text):
    return '"%s"' % text


class ProgressWindowDemo(unittest.TestCase):

    def demo(self, options=(), demo_args=(), env=None, shot=None, timeout_ms=30000):
        report = bed.harness([*WINDOW, *options], [DEMO, *demo_args], env=env, shot=shot,
                             timeout_ms=timeout_ms)
        self.assertFalse(report.get("timed_out"), report)
        return report

    def test_looks_and_scales_like_a_small_dialog(self):
        caption, text, label = "Example Product Setup", "Preparing Example Product\u2026", "Cancel"
        sizes = {}
        for dpi in (96, 144, 192):
            with self.subTest(dpi=dpi):
                bed.set_dpi(dpi)
                self.addCleanup(bed.set_dpi, 96)
                shot = display.artifacts_dir() / ("progress-window-demo-%d-dpi.png" % dpi)
                report = self.demo(["--cancel-after-ms", "1500"],
                                   ["--work-ms", "6000", "--caption", quoted(caption)],
                                   shot=shot)
                p = report["progress"]
                [demo] = report["programs"]
                self.assertTrue(report["screenshot"])
                self.assertEqual((p["caption"], p["text"], p["button"]), (caption, text, label))
                # Owned, so no taskbar button of its own, and with both icons.
                self.assertTrue(p["owned"])
                self.assertIs(p["taskbar_button"], False)
                self.assertTrue(demo["opened"] and demo["icons"], demo)
                # The bar moved while the window answered its messages.
                self.assertGreater(p["last_position"], p["first_position"])
                self.assertLess(p["max_reply_ms"], 1000)
                # Centred on the 800x580 work area above the taskbar.
                centre_x = p["client_left"] + p["client_width"] / 2
                self.assertLess(abs(centre_x - 400), 8, p)
                sizes[dpi] = (p["client_width"], p["client_height"])
        for dpi in (144, 192):
            for measure in (0, 1):
                self.assertAlmostEqual(sizes[dpi][measure] / sizes[96][measure], dpi / 96,
                                       delta=0.08, msg=sizes)

    def test_draws_in_the_system_colours(self):
        # High-contrast schemes are sets of system colours: the window must
        # take its face and its text colours from them, painting none of its own.
        schemes = (
            ("black", {"ButtonFace": (0, 0, 0), "Window": (0, 0, 0),
                       "ButtonText": (255, 255, 255), "WindowText": (255, 255, 0)}),
            ("white", {"ButtonFace": (255, 255, 255), "Window": (255, 255, 255),
                       "ButtonText": (0, 0, 0), "WindowText": (0, 0, 255)}),
        )
        for name, colours in schemes:
            with self.subTest(name):
                self.set_colours(colours)
                shot = display.artifacts_dir() / ("progress-window-demo-%s-scheme.png" % name)
                report = self.demo(["--cancel-after-ms", "1200"], ["--work-ms", "6000"],
                                   shot=shot)
                p = report["progress"]
                left, top = p["client_left"], p["client_top"]
                # Just inside the client area's bottom-left corner: margin only.
                self.assertEqual(pixel(shot, left + 3, top + p["client_height"] - 3),
                                 colours["ButtonFace"])
                # The line of text, in the upper third, is drawn in WindowText.
                self.assertGreater(share_of_colour(shot, left, top, p["client_width"],
                                                   p["client_height"] // 3,
                                                   colours["WindowText"]), 0.005)

    def set_colours(self, colours):
        """Sets system colours for the processes started from now on, and
        puts the old values back when the test ends."""
        key = r"HKCU\Control Panel\Colors"
        for name, rgb in colours.items():
            code, out, _ = bed.wine(["reg", "query", key, "/v", name])
            old = re.search(r"REG_SZ\s+(.*?)\s*$", out, re.M) if code == 0 else None
            self.addCleanup(bed.wine, ["reg", "add", key, "/v", name, "/d", old.group(1), "/f"]
                            if old else ["reg", "delete", key, "/v", name, "/f"])
            bed.wine(["reg", "add", key, "/v", name, "/d", "%d %d %d" % rgb, "/f"])

    def test_every_way_to_cancel(self):
        for way in ("button", "escape", "enter", "close"):
            with self.subTest(way=way):
                report = self.demo(["--cancel-after-ms", "300", "--cancel-by", way],
                                   ["--work-ms", "20000"])
                p = report["progress"]
                self.assertEqual(report["exit_code"], 1602)
                self.assertTrue(report["programs"][0]["cancelled"])
                self.assertIsNotNone(p["cancel_ms"])
                self.assertLessEqual(p["gone_ms"], report["exit_ms"])
                self.assertLess(report["exit_ms"] - p["cancel_ms"], 1000, p)

    def test_hand_over_ends_at_the_setup_programs_window_its_end_or_the_limit(self):
        probe = winelib.to_windows_path(winelib.probe_exe())
        cases = (
            # what the program does, its environment, the hand-over limit
            ("shows a window", {"PROBE_WINDOW": "1", "PROBE_SLEEP_MS": "3000"}, 10000),
            ("ends", {"PROBE_SLEEP_MS": "500"}, 10000),
            ("neither", {"PROBE_SLEEP_MS": "4000"}, 1000),
        )
        for name, env, limit in cases:
            with self.subTest(name):
                report = self.demo(["--watch-class", display.PROBE_WINDOW_CLASS],
                                   ["--work-ms", "1500", "--hand-over", quoted(probe),
                                    "--hand-over-ms", str(limit)], env=env)
                p, [demo] = report["progress"], report["programs"]
                self.assertEqual(report["exit_code"], 0)
                taken = demo["hand_over_ms"]
                if name == "shows a window":
                    watched = report["watched"]
                    # The window goes as the program's own appears, and that
                    # one (unowned) has the taskbar button ours lacks.
                    self.assertLess(p["gone_ms"] - watched["first_ms"], 250, report)
                    self.assertIs(watched["taskbar_button"], True)
                    self.assertLess(taken, 3000)
                elif name == "ends":
                    self.assertTrue(400 <= taken < 3000, taken)
                else:
                    self.assertTrue(1000 <= taken < 3000, taken)

    def test_another_start_raises_the_window(self):
        # The first start would open its window only after a minute; the
        # second, 1.5 s later, must make it open and come up at once, and end
        # with 1618. (A first start made hidden through STARTUPINFOW would be
        # the other case, but Wine 8 shows the window all the same.)
        env = {"PROGRESS_DEMO_EVENT": "Local\\ProgressDemoSecondStart",
               "PROGRESS_DEMO_DELAY_MS": 60000}
        report = self.demo(["--burst", "--stagger-ms", "1500"], [DEMO], env=env)
        first, second = report["runs"]
        self.assertEqual((first["exit_code"], second["exit_code"]), (0, 1618))
        p = first["progress"]
        self.assertIsNone(second["progress"])
        self.assertGreaterEqual(p["shown_ms"], second["started_ms"])
        self.assertLess(p["shown_ms"] - second["started_ms"], 1000, report)
        raised = [r["raised"] for r in report["programs"] if r["exit_code"] == 0]
        self.assertEqual(raised, [1])

    def test_a_window_on_an_invisible_station_is_seen(self):
        # What makes "no window on an invisible station" a real check below.
        report = self.demo(["--invisible-station"], ["--work-ms", "1500"])
        self.assertEqual(report["exit_code"], 0)
        self.assertEqual(report["progress"]["windows"], 1)


# Random bytes behind probe.exe: decoding them takes three seconds under
# Wine on a fast machine (at 48 MiB the window first showed 90% decoded
# there, and a cancel 200 ms later could come after the end), so the window
# opens after its second and stays a while. Encoding them takes about half
# a minute, even with the match finder's shortest search, so the block is
# kept in the build tree.
SLOW_MIB = 128
SLOW_DICT = 1 << 20


def slow_setup_block():
    """(raw LZMA1 block, its properties, payload size) of the slow setup."""
    probe = launcher_files.probe_bytes()
    key = hashlib.sha256(probe).hexdigest()[:16]
    cache = winelib.BUILD_HOST / "e2e-cache" / ("slow-setup-%d-%s.lzma" % (SLOW_MIB, key))
    size = len(probe) + (SLOW_MIB << 20)
    if not cache.is_file():
        setup = probe + random.Random(SLOW_MIB).randbytes(SLOW_MIB << 20)
        filters = [{"id": lzma.FILTER_LZMA1, "preset": 0, "dict_size": SLOW_DICT,
                    "lc": 3, "lp": 0, "pb": 2, "nice_len": 8, "depth": 1}]
        cache.parent.mkdir(parents=True, exist_ok=True)
        fresh = cache.with_suffix(".new")
        fresh.write_bytes(lzma.compress(setup, format=lzma.FORMAT_RAW, filters=filters))
        fresh.replace(cache)
    return cache.read_bytes(), launcher_files.property_bytes(dict_size=SLOW_DICT), size


def packed_by_stubpack(block, properties, size, *options):
    """The slow setup's block as stubpack build writes it with OPTIONS."""
    with tempfile.TemporaryDirectory() as folder:
        raw, out = Path(folder) / "block.lzma", Path(folder) / "launcher.exe"
        raw.write_bytes(block)
        subprocess.run([str(winelib.STUBPACK), "build", "--stub",
                        str(winelib.BUILD_WIN / "Stub64.exe"), "--precompressed-block", str(raw),
                        "--lzma-props", properties.hex(), "--payload-size", str(size),
                        "--out", str(out), *options], check=True, capture_output=True)
        return types.SimpleNamespace(data=out.read_bytes())


class LauncherProgressWindow(launcher_files.LauncherTestCase):

    @classmethod
    def setUpClass(cls):
        block, properties, size = slow_setup_block()
        cls.slow = launcher_files.build(block=block, properties=properties, payload_size=size)
        # The same setup program under another package text: another CRC-32.
        cls.other_slow = launcher_files.build(block=block, properties=properties,
                                              payload_size=size, text="Another product.")
        cls.small = launcher_files.build(launcher_files.probe_bytes())
        cls.slow_without_window = packed_by_stubpack(block, properties, size, "--no-progress")

    def setUp(self):
        super().setUp()
        self.reports = self.dir / "reports"
        self.reports.mkdir()

    def launch(self, launcher_file, options=(), args=(), env=None, shot=None, others=()):
        """Runs LAUNCHER_FILE (and OTHERS, (file, name) pairs, in a burst)
        through harness.exe in the display bed with self.tmp as TMP; each
        probe writes its report into self.reports."""
        self.launcher.write_bytes(launcher_file.data)
        targets = [self.launcher]
        for data, name in others:
            (self.dir / name).write_bytes(data.data)
            targets.append(self.dir / name)
        env = {"PROBE_REPORT_DIR": winelib.to_windows_path(self.reports), **(env or {})}
        return bed.harness([*WINDOW, "--tmp", winelib.to_windows_path(self.tmp),
                            "--watch-class", display.PROBE_WINDOW_CLASS, *options],
                           [*targets, *args], env=env, shot=shot, timeout_ms=120000)

    def probe_runs(self):
        return len(list(self.reports.glob("report-*.json")))

    def test_a_long_unpacking_shows_the_window_until_the_setup_programs_own(self):
        shot = display.artifacts_dir() / "progress-window-launcher.png"
        report = self.launch(self.slow, env={"PROBE_WINDOW": "1", "PROBE_SLEEP_MS": "1500"},
                             shot=shot)
        p, watched = report["progress"], report["watched"]
        self.assertEqual((report["exit_code"], report["boxes"]), (0, []))
        self.assertTrue(report["screenshot"])
        self.assertEqual((p["windows"], p["caption"], p["text"], p["button"]),
                         (1, "setup.exe", "Preparing setup.exe\u2026", "Cancel"))
        self.assertTrue(p["owned"])
        self.assertIs(p["taskbar_button"], False)
        self.assertGreaterEqual(p["shown_ms"], 1000)
        self.assertEqual(p["last_position"], 10000)
        self.assertLess(p["max_reply_ms"], 1000)
        # It goes as the setup program's first window comes, not long after.
        self.assertLess(p["gone_ms"] - watched["first_ms"], 250, report)
        self.assertEqual(self.probe_runs(), 1)
        self.assert_empty(self.tmp)

    def test_no_window_where_none_is_wanted(self):
        cases = (
            ("a small package", self.small, [], []),
            ("/s", self.slow, [], ["/s"]),
            ("/silent", self.slow, [], ["/silent"]),
            ("an invisible station", self.slow, ["--invisible-station"], []),
            ("stubpack build --no-progress", self.slow_without_window, [], []),
        )
        for name, launcher_file, options, args in cases:
            with self.subTest(name):
                for old in self.reports.iterdir():
                    old.unlink()
                report = self.launch(launcher_file, options, args)
                self.assertEqual((report["exit_code"], report["boxes"]), (0, []))
                self.assertIsNone(report["progress"])
                self.assertEqual(self.probe_runs(), 1)

    def test_cancel_removes_what_was_made_and_ends_with_1602(self):
        report = self.launch(self.slow, ["--cancel-after-ms", "200"])
        p = report["progress"]
        self.assertEqual((report["exit_code"], report["boxes"]), (1602, []))
        self.assertIsNotNone(p["cancel_ms"])
        self.assertLess(report["exit_ms"] - p["cancel_ms"], 1000, p)
        self.assertEqual(self.probe_runs(), 0)
        self.assert_empty(self.tmp)

    def test_a_second_start_brings_up_the_first_and_ends_with_1618(self):
        # The same file started again a second later, while the first decodes.
        report = self.launch(self.slow, ["--burst", "--stagger-ms", "1000"],
                             args=[self.launcher])
        first, second = report["runs"]
        self.assertEqual((first["exit_code"], second["exit_code"]), (0, 1618), report)
        self.assertEqual((first["boxes"], second["boxes"], second["progress"]), ([], [], None))
        # The first shows its window by the time the second is told so: the
        # harness sees both in one poll at the latest, the window first.
        self.assertIsNotNone(first["progress"]["shown_ms"])
        self.assertLessEqual(first["progress"]["shown_ms"], second["exit_ms"])
        # One copy decoded, and nothing left behind.
        self.assertEqual(self.probe_runs(), 1)
        self.assert_empty(self.tmp)

    def test_two_packages_started_together_both_run(self):
        report = self.launch(self.slow, ["--burst"], others=[(self.other_slow, "other.exe")])
        for run in report["runs"]:
            self.assertEqual((run["exit_code"], run["boxes"]), (0, []))
            self.assertEqual(run["progress"]["windows"], 1)
        self.assertEqual(self.probe_runs(), 2)
        self.assert_empty(self.tmp)


if __name__ == "__main__":
    unittest.main()
