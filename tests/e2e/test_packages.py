# SPDX-License-Identifier: 0BSD
"""stubpack's packages used the way a release engineer uses them: cpack makes
the .deb and the Windows zip; the .deb is unpacked into a throwaway root with
`dpkg-deb -x`, a plain extraction that cannot touch this machine's package
database (no maintainer scripts, no dpkg status); its stubpack, given no
--stub, makes a launcher that runs under Wine; the zip's stubpack.exe makes
the same launcher under Wine; lintian judges the .deb.

    python3 -m unittest tests/e2e/test_packages.py
"""

import gzip
import hashlib
import json
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

CPACK = shutil.which("cpack")
DPKG_DEB = shutil.which("dpkg-deb")
LINTIAN = shutil.which("lintian")
OPTIONS = ["--releases", "10,11,unknown", "--admin-mode", "none"]


def cache_value(build_dir, name):
    text = (build_dir / "CMakeCache.txt").read_text()
    match = re.search(r"^%s:[A-Z]+=(.*)$" % re.escape(name), text, re.M)
    if not match:
        raise AssertionError("%s not in %s/CMakeCache.txt" % (name, build_dir))
    return match.group(1)


def liblzma_version(include_dir):
    """major.minor.patch from the liblzma headers the stub was built with."""
    header = (Path(include_dir) / "lzma" / "version.h").read_text()
    parts = [re.search(r"#define LZMA_VERSION_%s (\d+)" % p, header).group(1)
             for p in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts)


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          **kwargs)


@unittest.skipUnless(CPACK and DPKG_DEB and winelib.STUB.is_file() and winelib.probe_exe()
                     and (winelib.BUILD_WIN / "packer" / "stubpack.exe").is_file(),
                     "needs cpack, dpkg-deb and both builds")
class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix="e2e-packages-"))
        dist = cls.dir / "dist"
        for build_dir, generator in ((winelib.BUILD_HOST, "DEB"), (winelib.BUILD_WIN, "ZIP")):
            result = run(CPACK, "-G", generator, "-B", dist, cwd=build_dir)
            if result.returncode != 0:
                shutil.rmtree(cls.dir, True)
                raise AssertionError("cpack -G %s failed:\n%s%s"
                                     % (generator, result.stdout, result.stderr))
        cls.version = cache_value(winelib.BUILD_HOST, "CMAKE_PROJECT_VERSION")
        arch = run("dpkg", "--print-architecture").stdout.strip()
        cls.deb = dist / ("stubpack_%s_%s.deb" % (cls.version, arch))
        cls.zip = dist / ("stubpack-%s-win64.zip" % cls.version)
        cls.root = cls.dir / "root"
        subprocess.run([DPKG_DEB, "-x", str(cls.deb), str(cls.root)], check=True)
        cls.stubpack = cls.root / "usr" / "bin" / "stubpack"
        # The installed stubpack, without --stub: the launcher every other
        # test compares against.
        cls.launcher = cls.dir / "linux.exe"
        result = run(cls.stubpack, "build", "--setup", winelib.probe_exe(),
                     "--out", cls.launcher, *OPTIONS)
        if result.returncode != 0:
            shutil.rmtree(cls.dir, True)
            raise AssertionError("installed stubpack build failed: " + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    def test_deb_holds_the_program_its_docs_and_run_time_dependencies_only(self):
        files = run(DPKG_DEB, "-c", self.deb).stdout
        self.assertEqual(sorted(re.findall(r"\./(\S*[^/\s])$", files, re.M)), [
            "usr/bin/stubpack", "usr/share/bash-completion/completions/stubpack",
            "usr/share/doc/stubpack/changelog.gz",
            "usr/share/doc/stubpack/copyright", "usr/share/man/man1/stubpack.1.gz"])
        fields = run(DPKG_DEB, "-f", self.deb, "Package", "Version", "Depends",
                     "Recommends", "Pre-Depends").stdout
        self.assertIn("Package: stubpack\n", fields)
        self.assertIn("Version: %s\n" % self.version, fields)
        self.assertNotIn("Recommends", fields)
        self.assertNotIn("Pre-Depends", fields)
        depends = re.search(r"^Depends: (.*)$", fields, re.M).group(1)
        names = [d.split()[0] for d in depends.split(", ")]
        self.assertIn("libc6", names)
        # Shared libraries, by Debian's naming (soname in the name): no
        # compiler, cmake, MinGW or Wine.
        for name in names:
            self.assertRegex(name, r"^lib[a-z0-9+.-]*[0-9]$", depends)

    def test_installed_stubpack_carries_the_build_trees_stub(self):
        stub = winelib.STUB.read_bytes()
        version = run(self.stubpack, "--version")
        self.assertEqual(version.returncode, 0, version.stderr)
        lzma_root = cache_value(winelib.BUILD_WIN, "LZMA_STUB_ROOT")
        self.assertEqual(version.stdout.splitlines(), [
            "stubpack " + self.version,
            "embedded stub: Stub64.exe, %d bytes, SHA-256 %s"
            % (len(stub), hashlib.sha256(stub).hexdigest()),
            "stub liblzma: " + liblzma_version(Path(lzma_root) / "include")])
        written = self.dir / "written-stub.exe"
        self.assertEqual(run(self.stubpack, "stub", "--out", written).returncode, 0)
        self.assertEqual(written.read_bytes(), stub)
        # The same launcher as the build tree's stubpack with that stub named.
        named = self.dir / "named-stub.exe"
        result = run(winelib.STUBPACK, "build", "--stub", winelib.STUB, "--setup",
                     winelib.probe_exe(), "--out", named, *OPTIONS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(named.read_bytes(), self.launcher.read_bytes())

    def test_man_page_covers_every_command_and_option(self):
        with gzip.open(self.root / "usr/share/man/man1/stubpack.1.gz", "rt") as f:
            page = f.read().replace("\\-", "-")
        commands = re.findall(r"^  (\w+)  ", run(self.stubpack, "--help").stdout, re.M)
        self.assertIn("stub", commands)
        for command in commands:
            with self.subTest(command=command):
                self.assertIn(".SS %s\n" % command, page)
                options = re.findall(r"^  (--[a-z0-9-]+)",
                                     run(self.stubpack, command, "--help").stdout, re.M)
                for option in options:
                    self.assertIn("\\fB%s\\fR" % option, page)

    @unittest.skipUnless(LINTIAN, "lintian is not installed (scripts/setup-deps.sh installs it)")
    def test_lintian_finds_no_errors_or_warnings(self):
        result = run(LINTIAN, "--display-info", self.deb)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EWIPX]: ", line)]
        self.assertEqual([t for t in tags if t[0] in "EW"], [], result.stdout)
        self.assertIn(result.returncode, (0, 1), result.stderr)

    @unittest.skipUnless(winelib.wine_available(), "wine is not installed")
    def test_launchers_from_both_packages_run_and_are_identical(self):
        folder = self.dir / "zip"
        with zipfile.ZipFile(self.zip) as archive:
            top = "stubpack-%s-win64/" % self.version
            self.assertEqual(sorted(archive.namelist()),
                             [top + n for n in ("LICENSE", "NOTICES.txt", "README.md",
                                                "stubpack.exe")])
            # The Windows package carries the Debian package's notices.
            self.assertEqual(archive.read(top + "NOTICES.txt"),
                             (self.root / "usr/share/doc/stubpack/copyright").read_bytes())
            archive.extractall(folder)
        winelib.ensure_prefix()
        winelib.start_wineserver()
        windows_launcher = self.dir / "windows.exe"
        w = winelib.to_windows_path
        code, stdout, stderr = winelib.wine(
            [folder / top / "stubpack.exe", "build", "--setup", w(winelib.probe_exe()),
             "--out", w(windows_launcher)] + OPTIONS)
        self.assertEqual(code, 0, stdout + stderr)
        self.assertEqual(windows_launcher.read_bytes(), self.launcher.read_bytes())

        temp = self.dir / "temp"
        temp.mkdir()
        report_path = self.dir / "report.json"
        result = winelib.run_launcher(
            self.launcher, args=["/S"], tmp=temp,
            env={"PROBE_REPORT": winelib.to_windows_path(report_path)})
        self.assertEqual((result["exit_code"], result["boxes"]), (0, []), result)
        probe = json.loads(report_path.read_text(encoding="utf-8"))
        self.assertTrue(probe["command_line"].endswith('"%s" /S' % w(self.launcher)), probe)


if __name__ == "__main__":
    unittest.main()
