# SPDX-License-Identifier: 0BSD
"""The release gate of the real launcher under Wine, release by release.

Wine reports Windows XP to 10 through `winecfg -v`; Windows 10 feature
releases and Windows 11 are simulated on the win10 setting by rewriting the
HKLM CurrentVersion values CurrentBuild, DisplayVersion and ReleaseId. Each
refused case checks the whole box and that nothing reached the temporary
folder; each admitted case checks that the setup program (probe.exe) really
ran from a temporary copy that was deleted afterwards.

The prefix's Windows version and CurrentVersion values are put back when the
class ends: CI runs every e2e file in one prefix.

    BUILD_WIN=build/win WINEPREFIX=build/wineprefix-gate \
        python3 -m unittest -v tests/e2e/test_gate.py
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launcher_files  # noqa: E402
import winelib  # noqa: E402

STUBPACK = winelib.STUBPACK
STUB = winelib.STUB

# Both placeholders, plus a wrong-case one that must stay as written.
UNSUPPORTED_TEXT = "Setup cannot run on %USER%.\nAsk for a build for %user%; %User% stays."


def refusal(name):
    return "Setup cannot run on %s.\nAsk for a build for %s; %%User%% stays." % (name, name)


VALUE_NAMES = ("CurrentBuild", "DisplayVersion", "ReleaseId")

# Package name -> stubpack options. The defaults (7, 8, 8.1, 10, 11, unknown;
# Windows 10 codes 1507-9999, Windows 11 codes 2110-9999) are "modern".
PACKAGES = {
    "modern": [],
    "legacy": ["--releases", "xp,vista"],
    "no8": ["--releases", "7,8.1,10,11"],
    "no81": ["--releases", "7,8,10,11"],
    "no10": ["--releases", "11"],
    "no11": ["--releases", "10"],
    "w10from1809": ["--releases", "10,11", "--win10-range", "1809-9999",
                    "--win11-range", "2209-2410"],
    "w10to2004": ["--releases", "10,11", "--win10-range", "1507-2004"],
    "w10mid": ["--releases", "10,11", "--win10-range", "2009-2105"],
    "w10to2210": ["--releases", "10,11", "--win10-range", "1507-2210"],
    "w11to2510": ["--releases", "10,11", "--win11-range", "2110-2510"],
}
# One package per Windows 11 table row admitting exactly that row's code, and
# one admitting everything above it.
W11_CODES = (2110, 2209, 2310, 2410, 2510)
for _code in W11_CODES:
    PACKAGES["w11only%d" % _code] = ["--releases", "11", "--win11-range", "%d-%d" % (_code, _code)]
    PACKAGES["w11above%d" % _code] = ["--releases", "11", "--win11-range",
                                      "%d-9999" % (_code + 1)]


def setUpModule():
    if not winelib.wine_available():
        raise unittest.SkipTest("wine is not installed")
    missing = [p for p in (STUB, STUBPACK, winelib.harness_exe(), winelib.probe_exe())
               if p is None or not Path(p).is_file()]
    if missing:
        raise unittest.SkipTest("not built: %s" % missing)
    winelib.ensure_prefix()
    winelib.start_wineserver()


def _reg_string(value):
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


class ReleaseGate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="gate-e2e-"))
        cls.addClassCleanup(shutil.rmtree, cls.dir, True)
        # Cleanups run last-in first-out: the version goes back first, since
        # `winecfg -v` rewrites CurrentBuild, then the three values.
        saved_values = {n: winelib.reg_query(winelib.CURRENT_VERSION_KEY, n) for n in VALUE_NAMES}
        cls.addClassCleanup(cls._restore_values, saved_values)
        saved_version = winelib.windows_version() or "win10"
        cls.addClassCleanup(winelib.set_windows_version, saved_version)

        cls.launchers = {}
        for name, options in PACKAGES.items():
            out = cls.dir / ("gate %s.exe" % name)
            subprocess.run([str(STUBPACK), "build", "--stub", str(STUB),
                            "--setup", str(winelib.probe_exe()), "--out", str(out),
                            "--unsupported-text", UNSUPPORTED_TEXT, *options],
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           timeout=60)
            cls.launchers[name] = out
        cls.version = None
        cls.runs = 0

    @classmethod
    def _restore_values(cls, saved):
        for name, old in saved.items():
            if old is None:
                winelib.reg_delete(winelib.CURRENT_VERSION_KEY, name)
            else:
                winelib.reg_add(winelib.CURRENT_VERSION_KEY, name, old[1], old[0])

    def use_version(self, version):
        if type(self).version != version:
            winelib.set_windows_version(version)
            type(self).version = version

    def set_values(self, **values):
        """Sets all three CurrentVersion values at once (None deletes one):
        a single regedit import instead of a `reg` call per value."""
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]"]
        for name in VALUE_NAMES:
            value = values.get(name)
            lines.append('"%s"=%s' % (name, "-" if value is None else _reg_string(value)))
        reg_file = self.dir / "values.reg"
        reg_file.write_text("\r\n".join(lines) + "\r\n", encoding="utf-16")
        code, out, err = winelib.wine(["regedit", "/S", winelib.to_windows_path(reg_file)])
        self.assertEqual(code, 0, out + err)
        for name in VALUE_NAMES:
            seen = winelib.reg_query(winelib.CURRENT_VERSION_KEY, name)
            self.assertEqual(seen and seen[1], values.get(name), name)

    def run_gate(self, package, refused_as, args=(), restricted=False):
        """Runs one package; REFUSED_AS is the release name expected in the
        refusal, or None when the setup program must run. Returns the probe's
        report (None on refusal)."""
        type(self).runs += 1
        launcher = self.launchers[package]
        tmp = self.dir / ("tmp-%d" % self.runs)
        tmp.mkdir()
        report_path = self.dir / ("report-%d.json" % self.runs)
        result = winelib.run_launcher(
            launcher, args, tmp=tmp, restricted=restricted, timeout_ms=20000,
            env={"PROBE_REPORT": winelib.to_windows_path(report_path)})
        self.assertFalse(result["timed_out"])
        self.assertEqual(result["exit_code"], 0 if refused_as is None else 1654)
        # Attached mode: a copy left behind means it was not waited for or
        # not deleted; on refusal nothing may be written at all.
        self.assertEqual(os.listdir(tmp), [])
        if refused_as is not None:
            self.assertEqual(result["boxes"], [{
                "caption": winelib.to_windows_path(launcher),
                "text": refusal(refused_as),
                "has_icon": True,
            }])
            self.assertFalse(report_path.exists(), "the setup program ran")
            return None
        self.assertEqual(result["boxes"], [])
        report = json.loads(report_path.read_text(encoding="utf-8"))
        self.assertTrue(report["finished"])
        self.assertIsNotNone(launcher_files.private_folder_of(report["module_path"], tmp,
                                                              launcher.name))
        return report

    def run_table(self, version, cases):
        """CASES: (registry values or None to leave them, package, refused_as)."""
        self.use_version(version)
        for values, package, refused_as in cases:
            with self.subTest(values=values, package=package):
                if values is not None:
                    self.set_values(**values)
                self.run_gate(package, refused_as)

    # --- releases named by their version numbers ------------------------------

    def test_windows_xp(self):
        self.run_table("winxp64", [
            (None, "modern", "Windows XP"),
            (None, "legacy", None),
        ])

    def test_windows_xp_starts_directly_even_for_a_non_administrator(self):
        # Before Vista there is no elevation: the restricted token must not
        # lead to the shell start, so no " /noadmin" and the direct command line.
        self.use_version("winxp64")
        launcher = self.launchers["legacy"]
        report = self.run_gate("legacy", None, args=["/S", "x"], restricted=True)
        self.assertIs(report["is_admin"], False)
        copy = report["module_path"]
        self.assertEqual(report["command_line"],
                         '"%s" "%s" /S x' % (copy, winelib.to_windows_path(launcher)))

    def test_windows_vista(self):
        self.run_table("vista", [
            (None, "modern", "Windows Vista"),
            (None, "legacy", None),
        ])

    def test_windows_7(self):
        self.run_table("win7", [
            (None, "legacy", "Windows 7"),
            (None, "modern", None),
        ])

    def test_windows_8(self):
        self.run_table("win8", [
            (None, "legacy", "Windows 8"),
            (None, "no8", "Windows 8"),
            (None, "modern", None),
        ])

    def test_windows_81_is_seen_as_63(self):
        # Without the manifest's supportedOS entries Windows 8.1 reads as 6.2:
        # "no8" would then be refused and "no81" admitted.
        self.run_table("win81", [
            (None, "no81", "Windows 8.1"),
            (None, "legacy", "Windows 8.1"),
            (None, "no8", None),
        ])

    # --- Windows 10 ------------------------------------------------------------

    def test_windows_10_by_release_id(self):
        def rid(build, release_id, display=None):
            return {"CurrentBuild": build, "ReleaseId": release_id, "DisplayVersion": display}

        named = [
            ("10240", "1507", "Windows 10 1507 (Original Release)"),
            ("10586", "1511", "Windows 10 1511 (November Update)"),
            ("14393", "1607", "Windows 10 1607 (Anniversary Update)"),
            ("15063", "1703", "Windows 10 1703 (Creators Update)"),
            ("16299", "1709", "Windows 10 1709 (Fall Creators Update)"),
            ("17134", "1803", "Windows 10 1803 (April 2018 Update)"),
            ("17763", "1809", "Windows 10 1809 (October 2018 Update)"),
            ("18362", "1903", "Windows 10 1903 (May 2019 Update)"),
            ("18363", "1909", "Windows 10 1909 (November 2019 Update)"),
            ("19041", "2004", "Windows 10 2004 (May 2020 Update)"),
        ]
        cases = [(rid(b, r), "w10mid", name) for b, r, name in named]
        cases += [
            # The range bounds are inclusive.
            (rid("17763", "1809"), "w10from1809", None),
            (rid("17134", "1803"), "w10from1809", "Windows 10 1803 (April 2018 Update)"),
            (rid("19041", "2004"), "w10to2004", None),
            # Unknown to the name table: named by the value's text; a
            # DisplayVersion plays no part below build 19042.
            (rid("19041", "2009", "20H2"), "w10to2004", "Windows 10 2009"),
            # Inside the range though not in the table: admitted.
            (rid("19041", "2010"), "w10mid", None),
            # No ReleaseId: the gate fails open.
            (rid("18362", None), "w10mid", None),
            # A build without leading digits reads as 0: judged by ReleaseId.
            (rid("x22631", "1803"), "w10from1809", "Windows 10 1803 (April 2018 Update)"),
            (rid("18363", "1909"), "no10", "Windows 10"),
        ]
        self.run_table("win10", cases)

    def test_windows_10_by_build(self):
        def build(number, display=None, release_id=None):
            return {"CurrentBuild": number, "DisplayVersion": display, "ReleaseId": release_id}

        self.run_table("win10", [
            # From 19042 the build decides, whatever ReleaseId says.
            (build("19042", "20H2", "2004"), "w10to2004",
             "Windows 10 20H2 (October 2020 Update)"),
            (build("19042", "20H2", "1507"), "w10mid", None),
            (build("19043", "21H1"), "w10mid", None),
            (build("19044", "21H2"), "w10mid", "Windows 10 21H2 (November 2021 Update)"),
            (build("19045", "22H2"), "w10mid", "Windows 10 22H2 (2022 Update)"),
            (build("19045", "22H2"), "w10to2210", None),
            # Builds past the table: only an open-ended range admits them,
            # and the name carries DisplayVersion (empty when missing).
            (build("19046", "22H2"), "w10to2210", "Windows 10 22H2"),
            (build("19046", None), "w10to2210", "Windows 10 "),
            (build("19046", "22H2"), "modern", None),
            # 21999 is still Windows 10.
            (build("21999", "22H2"), "no10", "Windows 10"),
            (build("21999", "22H2"), "no11", None),
        ])

    # --- Windows 11 (win10 with a build of 22000 or more) ---------------------

    def test_windows_11_table_rows(self):
        rows = [
            ("22000", "21H2", 2110, "Windows 11 21H2 (Original Release)"),
            ("22621", "22H2", 2209, "Windows 11 22H2 (2022 Update)"),
            ("22631", "23H2", 2310, "Windows 11 23H2 (2023 Update)"),
            ("26100", "24H2", 2410, "Windows 11 24H2 (2024 Update)"),
            ("26200", "25H2", 2510, "Windows 11 25H2 (2025 Update)"),
        ]
        cases = []
        for number, display, code, name in rows:
            values = {"CurrentBuild": number, "DisplayVersion": display, "ReleaseId": "2009"}
            cases.append((values, "w11only%d" % code, None))
            cases.append((None, "w11above%d" % code, name))
        self.run_table("win10", cases)

    def test_windows_11_classification(self):
        def build(number, display=None):
            return {"CurrentBuild": number, "DisplayVersion": display, "ReleaseId": None}

        self.run_table("win10", [
            (build("22000", "21H2"), "no11", "Windows 11"),
            (build("22000", "21H2"), "no10", None),
            # w10from1809 admits Windows 11 codes 2209-2410.
            (build("22448", "22H2"), "w10from1809", "Windows 11 21H2 (Original Release)"),
            (build("22449", "22H2"), "w10from1809", None),
            (build("27000", "24H2"), "w10from1809", None),
            (build("26100", "21H2"), "w10from1809", "Windows 11 21H2 (Original Release)"),
            # Trailing letters end the number: 22000.
            (build("22000abc", None), "w10from1809", "Windows 11 21H2 (Original Release)"),
            # Beyond the table: only a maximum of 9999 admits it.
            (build("26300", "26H1"), "w11to2510", "Windows 11 26H1"),
            (build("26300", None), "w11to2510", "Windows 11 "),
            (build("26300", "26H1"), "modern", None),
        ])

    def test_release_name_holding_a_placeholder(self):
        # The inserted "%USER%" survives (no re-search in its own pass); the
        # inserted "%user%" is replaced by the second pass.
        self.use_version("win10")
        self.set_values(CurrentBuild="26300", DisplayVersion="%USER%-%user%", ReleaseId=None)
        launcher = self.launchers["w11to2510"]
        tmp = self.dir / "tmp-placeholder"
        tmp.mkdir()
        result = winelib.run_launcher(launcher, tmp=tmp, timeout_ms=20000)
        name = "Windows 11 %USER%-%user%"
        inner = "Windows 11 %USER%-" + name
        self.assertEqual(result["exit_code"], 1654)
        self.assertEqual(result["boxes"], [{
            "caption": winelib.to_windows_path(launcher),
            "text": "Setup cannot run on %s.\nAsk for a build for %s; %%User%% stays."
                    % (inner, name),
            "has_icon": True,
        }])
        self.assertEqual(os.listdir(tmp), [])


if __name__ == "__main__":
    unittest.main()
