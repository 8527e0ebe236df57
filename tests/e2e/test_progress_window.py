# SPDX-License-Identifier: 0BSD
"""The progress window, drawn for real: Wine's x11 driver on Xvfb, in a
virtual desktop with a taskbar (display.py), watched and pressed by
harness.exe.

ProgressWindowDemo drives the window through progress_demo.exe, which calls
the launcher's own platform code: what it looks like at each DPI and in a
high-contrast scheme, every way to cancel it, the hand-over to the setup
program and the second start that raises it. Screenshots are kept in
build/host/artifacts.
"""

import re
import subprocess
import unittest
from pathlib import Path

import display
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


if __name__ == "__main__":
    unittest.main()
