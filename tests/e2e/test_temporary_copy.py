# SPDX-License-Identifier: 0BSD
"""The real launcher under Wine: where the temporary copy goes (a private
folder of its own inside the chosen folder), what it is called, that it holds
exactly the decoded setup program, that nobody can change it while it runs
or find a part of it after a kill, and the temporary-copy message when it
cannot be written.

    BUILD_WIN=build/win WINEPREFIX=$PWD/build/wineprefix \\
        python3 -m unittest -v tests/e2e/test_temporary_copy.py

The probe reports its own module path, which is the temporary copy's path.
The disk-full test mounts a small tmpfs and needs root; it skips otherwise.
"""

import json
import lzma
import ntpath
import os
import random
import subprocess
import sys
import stat
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launcher_files as lf  # noqa: E402
from launcher_files import LAUNCH_FAILED, TEMP_COPY_FAILED  # noqa: E402
import winelib  # noqa: E402
from winelib import to_windows_path as win  # noqa: E402


def setUpModule():
    lf.require_wine()


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())


class CopyContent(lf.LauncherTestCase):
    def test_copy_is_the_decoded_setup_program_byte_for_byte(self):
        # Overlay data behind the image does not stop it from running, so the
        # payload can hold every byte value, compressible or not.
        rng = random.Random(5)
        payloads = {
            "probe alone": lf.probe_bytes(),
            "probe with overlay": lf.probe_bytes() + bytes(range(256)) * 64
            + rng.randbytes(300000) + bytes(100000),
        }
        for name, payload in payloads.items():
            with self.subTest(name):
                self.clear_folder()
                # Detached mode leaves the copy behind for the comparison.
                f = lf.build(payload, detached=True)
                report = self.assert_setup_ran(self.run_launcher(f), wait_s=30)
                copy = self.assert_private_copy(report["module_path"], self.tmp)
                self.assertEqual(copy, self.left_copy())
                self.assertEqual(copy.read_bytes(), payload)

    def test_attached_copy_is_whole_and_locked_while_the_setup_program_runs(self):
        payload = lf.probe_bytes() + random.Random(8).randbytes(200000)
        f = lf.build(payload)
        done = {}
        runner = threading.Thread(target=lambda: done.update(
            self.run_launcher(f, env={"PROBE_SLEEP_MS": "4000"})))
        runner.start()
        # The probe writes a first report as it starts, then sleeps.
        deadline = time.monotonic() + 30
        while not self.report_path.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        copies = list(self.tmp.glob("sl-*.tmp/setup.exe"))
        during = copies[0].read_bytes() if copies else None
        # Wine turns the folder's DACL into Unix mode bits, and that is all
        # it can show of it: it enforces no DACL between processes. An entry
        # for a SID of the process's own token (its user, Administrators)
        # gives the Unix user and group bits alike, SYSTEM's gives none, and
        # only Everyone reaches the other bits, which a folder made without a
        # DACL gets from the umask (0755). So: nothing for others, and group
        # bits no wider than the user's.
        modes = [stat.S_IMODE(c.parent.stat().st_mode) for c in copies]
        # Another process may neither write, rename nor delete the copy. A
        # running image alone refuses writing and deleting but not renaming:
        # the refused rename is the launcher's lock.
        refused = {action: self.another_process_fails(action, copies[0]) for action in
                   ("write", "rename", "delete")} if copies else {}
        runner.join()
        self.assertEqual(during, payload)
        self.assertEqual(len(copies), 1)
        self.assertEqual([(m & 0o007, (m >> 3) & ~(m >> 6) & 0o7) for m in modes], [(0, 0)])
        self.assertEqual(refused, dict.fromkeys(("write", "rename", "delete"), True))
        self.assert_setup_ran(done)
        self.assertEqual(listing(self.tmp), [])

    def another_process_fails(self, action, copy):
        target = win(copy)
        commands = {
            "write": ["cmd", "/c", "echo x>>" + target],
            "rename": ["cmd", "/c", "move", target, win(copy.with_name("moved.exe"))],
            "delete": ["cmd", "/c", "del", target],
        }
        if not copy.exists():
            return False
        before = copy.read_bytes()
        winelib.wine(commands[action])
        return copy.exists() and copy.read_bytes() == before \
            and not copy.with_name("moved.exe").exists()

    def test_empty_payload_gives_an_empty_copy_that_cannot_run(self):
        # The block is what any encoder makes of nothing; the size decides.
        block, props = lf.compress(b"")
        f = lf.build(block=block, properties=props, payload_size=0)
        self.assert_box(self.run_launcher(f), LAUNCH_FAILED)
        # A failed start leaves the complete copy on disk, in its folder.
        self.assertEqual(self.left_copy().stat().st_size, 0)

    def test_a_killed_launcher_leaves_no_part_of_the_copy(self):
        # Random bytes decode slowly, one literal at a time: 16 MiB of them
        # keep the launcher writing for a second or more, long after the kill.
        payload = lf.probe_bytes() + random.Random(11).randbytes(16 << 20)
        filters = [{"id": lzma.FILTER_LZMA1, "preset": 0, "dict_size": 1 << 16}]
        block = lzma.compress(payload, format=lzma.FORMAT_RAW, filters=filters)
        f = lf.build(block=block, properties=lf.property_bytes(3, 0, 2, 1 << 16),
                     payload_size=len(payload))

        def half_written():
            for copy in self.tmp.glob("sl-*.tmp/setup.exe"):
                if 0 < copy.stat().st_size < len(payload):
                    return copy
            return None

        result, seen = self.run_killed_midway(f, half_written)
        self.assertIsNotNone(seen, "the copy was never seen half written")
        self.assertTrue(result["killed"], result)
        self.assertFalse(self.report_path.exists(), "the setup program ran")
        # The folder may stay, empty: only the copy was marked for deletion.
        self.assertEqual(list(self.tmp.glob("sl-*.tmp/*")), [])

class CopyLocation(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.file = lf.build(lf.probe_bytes())

    def ran_as(self, args=(), launcher=None, tmp=None):
        """Runs the launcher; returns the setup program's module path without
        its private folder, after checking that there was one."""
        report = self.assert_setup_ran(self.run_launcher(self.file, args, launcher=launcher,
                                                         tmp=tmp))
        private, name = ntpath.split(report["module_path"])
        self.assertRegex(ntpath.basename(private), lf.PRIVATE_FOLDER)
        return ntpath.join(ntpath.dirname(private), name)

    def test_copy_goes_into_a_private_folder_of_tmp_under_the_launchers_name(self):
        for name in ("setup.exe", "My Setup 1.2.exe", "Instalaci\u00f3n \u65e5\u672c.exe"):
            with self.subTest(name):
                launcher = self.dir / name
                self.assertEqual(self.ran_as(launcher=launcher), win(self.tmp / name))
                # Attached mode: the copy and its folder are gone afterwards.
                self.assertEqual(listing(self.tmp), [])

    def test_what_the_folder_holds_is_never_used_or_touched(self):
        # Names taken in the chosen folder do not matter any more: the copy
        # has a fresh folder of its own and never needs a number.
        cases = [
            ("setup.exe", {"setup.exe": "file"}),
            ("setup.exe", {"setup.exe": "folder", "setup2.exe": "file"}),
            ("install", {"install": "file"}),
        ]
        for launcher_name, taken in cases:
            with self.subTest(taken=taken):
                tmp = Path(tempfile.mkdtemp(dir=self.dir))
                for name, kind in taken.items():
                    if kind == "folder":
                        (tmp / name).mkdir()
                    else:
                        (tmp / name).write_bytes(b"taken " + name.encode())
                launcher = self.dir / launcher_name
                self.assertEqual(self.ran_as(launcher=launcher, tmp=tmp),
                                 win(tmp / launcher_name))
                self.assertEqual(listing(tmp), sorted(taken))
                for name, kind in taken.items():
                    if kind == "file":
                        self.assertEqual((tmp / name).read_bytes(), b"taken " + name.encode())

    def test_temp_switch_chooses_the_folder(self):
        a = self.dir / "a"
        b = self.dir / "b b"
        a.mkdir()
        b.mkdir()
        beside = self.dir / "setup.exe"  # in a private folder beside the launcher
        cases = [
            (["/temp"], beside),
            (["/TEMP", win(a)], a / "setup.exe"),
            (["/Temp", '"%s"' % win(b)], b / "setup.exe"),
            (["/temp", win(a), "/temp"], beside),
            (["/temp", win(a), "/temp", '"%s"' % win(b), "x"], b / "setup.exe"),
            (["x", "/temp", win(a) + "\\"], a / "setup.exe"),
            (["/temp", win(a), "/tempo"], a / "setup.exe"),
            # Quoted with a trailing space, it is no switch: TMP stays.
            (['"/temp "', win(a)], self.tmp / "setup.exe"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.ran_as(args), win(expected))
                self.assertEqual(listing(a) + listing(b) + listing(self.tmp), [])
                self.assertEqual(listing(self.dir), ["a", "b b", "report.json", "setup.exe", "tmp"])


class CopyFailures(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.file = lf.build(lf.probe_bytes())

    def test_missing_folder_gives_the_temporary_copy_message(self):
        missing = self.dir / "missing"
        cases = {
            "after /temp": dict(args=["/temp", win(missing)]),
            "in TMP": dict(tmp=missing),
            "below a file": dict(args=["/temp", win(self.dir / "setup.exe")]),
        }
        for name, kwargs in cases.items():
            with self.subTest(name):
                self.assert_box(self.run_launcher(self.file, **kwargs), TEMP_COPY_FAILED)
                self.assertFalse(missing.exists())
                self.assertEqual(listing(self.dir), ["setup.exe", "tmp"])
                self.assertEqual(listing(self.tmp), [])

    def test_full_disk_gives_the_temporary_copy_message_and_no_partial_file(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        small = self.dir / "small"
        small.mkdir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1536k", "tmpfs",
                                  str(small)],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL).returncode == 0
        if not mounted:
            self.skipTest("mount -t tmpfs is not permitted here")
        # Unmount before the folder is removed (cleanups run last-in first-out).
        self.addCleanup(subprocess.run, ["umount", str(small)], stdin=subprocess.DEVNULL)
        # Random bytes do not compress: the copy is twice the free space, so a
        # write in the middle of the stream fails.
        payload = lf.probe_bytes() + random.Random(3).randbytes(3 << 20)
        self.assert_box(self.run_launcher(lf.build(payload), tmp=small), TEMP_COPY_FAILED)
        self.assertEqual(listing(small), [])
        # The same launcher writes a copy that fits.
        small_file = lf.build(lf.probe_bytes())
        self.assert_setup_ran(self.run_launcher(small_file, tmp=small))
        self.assertEqual(listing(small), [])


class SimultaneousLaunchers(lf.LauncherTestCase):
    """Launchers that reach their temporary copies at the same moment, in one
    TMP: each runs its own product's setup program from its own copy, and no
    one sees a message."""

    ROUNDS = 10

    def burst(self, products, rounds):
        """Runs one launcher per payload in PRODUCTS, all named setup.exe, all
        resumed together, ROUNDS times; returns the counts of what went wrong."""
        reports = self.dir / "reports"
        reports.mkdir()
        launchers = []
        for i, payload in enumerate(products):
            folder = self.dir / ("product%d" % i)
            folder.mkdir()
            (folder / "setup.exe").write_bytes(lf.build(payload).data)
            launchers.append(folder / "setup.exe")
        env = {"PROBE_REPORT_DIR": win(reports), "PROBE_SLEEP_MS": "300"}
        faults = {"messages": 0, "wrong product": 0, "copy shared": 0, "missing run": 0}
        for _ in range(rounds):
            for p in reports.iterdir():
                p.unlink()
            runs = winelib.run_burst(launchers, self.tmp, env=env)["runs"]
            for run in runs:
                self.assertFalse(run["timed_out"], run)
                faults["messages"] += len(run["boxes"])
            started = [json.loads(p.read_text()) for p in reports.glob("report-*.json")]
            by_copy = {}
            for report in started:
                owner = [i for i, l in enumerate(launchers) if '"%s"' % win(l)
                         in report["command_line"]]
                self.assertEqual(len(owner), 1, report["command_line"])
                if report["module_size"] != len(products[owner[0]]):
                    faults["wrong product"] += 1
                by_copy.setdefault(report["module_path"], []).append(report)
            faults["missing run"] += len(launchers) - len(started)
            # Each run made a folder of its own.
            folders = {ntpath.dirname(r["module_path"]) for r in started}
            faults["copy shared"] += len(started) - len(folders)
            for same in by_copy.values():
                same.sort(key=lambda r: r["start_tick"])
                faults["copy shared"] += sum(later["start_tick"] <= earlier["end_tick"]
                                             for earlier, later in zip(same, same[1:]))
            # Attached mode: every copy deleted once its setup program ended.
            self.assertEqual(listing(self.tmp), [])
        sys.stderr.write("%d launchers x %d rounds: %s\n" % (len(launchers), rounds, faults))
        return faults

    def test_one_product_started_eight_times(self):
        faults = self.burst([lf.probe_bytes()] * 8, self.ROUNDS)
        self.assertEqual(faults, dict.fromkeys(faults, 0))

    def test_sixteen_products_all_named_setup(self):
        # Overlays of different lengths tell the products apart by file size.
        products = [lf.probe_bytes() + bytes([i]) * (512 * (i + 1)) for i in range(16)]
        faults = self.burst(products, self.ROUNDS // 2)
        self.assertEqual(faults, dict.fromkeys(faults, 0))


if __name__ == "__main__":
    unittest.main()
