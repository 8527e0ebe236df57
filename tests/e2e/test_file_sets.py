# SPDX-License-Identifier: 0BSD
"""File sets under Wine: a folder arrives whole in the private folder and
stays locked while its entry runs; hostile tables, paths too long for
Windows and a killed launcher leave nothing behind."""

import json
import os
import random
import struct
import subprocess
import threading
import time
import unittest
import zlib
from pathlib import Path

import file_sets as fs
import launcher_files as lf
import msi_packages as msi
import winelib
from launcher_files import DAMAGED, TEMP_COPY_FAILED, TRUNCATED


def setUpModule():
    lf.require_wine()


def tree(folder):
    """Every file under FOLDER, relative path (backslashes) -> bytes."""
    return {str(p.relative_to(folder)).replace("/", "\\"): p.read_bytes()
            for p in sorted(Path(folder).rglob("*")) if p.is_file()}


def win(path):
    return winelib.to_windows_path(path)


def folder_files():
    rng = random.Random(30)
    return [("bin\\tool.dll", rng.randbytes(70000)),
            ("data\\deep\\x.bin", bytes(range(256)) * 600 + rng.randbytes(90000)),
            ("data\\empty.txt", b""),
            ("setup.exe", lf.probe_bytes()),
            ("z.txt", b"z")]


class FileSetRun(lf.LauncherTestCase):
    def run_in_background(self, f, args=(), sleep_ms=4000):
        done = {}
        runner = threading.Thread(target=lambda: done.update(self.run_launcher(
            f, args, env={"PROBE_SLEEP_MS": str(sleep_ms)})))
        runner.start()
        deadline = time.monotonic() + 30
        while not self.report_path.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        return runner, done

    def test_a_folder_arrives_whole_locked_and_goes_afterwards(self):
        files = folder_files()
        # 64 KiB blocks: files span blocks, and blocks span files.
        f = fs.build_set(files, 3, block_size=1 << 16)
        runner, done = self.run_in_background(f, ("/x", '"a b"'))
        [private] = lf.private_folders(self.tmp)
        during = tree(private)
        data = private / "data" / "deep" / "x.bin"
        refused = {action: self.another_process_fails(action, data)
                   for action in ("write", "rename", "delete")}
        runner.join()
        self.assertEqual(during, dict(files))
        self.assertEqual(refused, dict.fromkeys(("write", "rename", "delete"), True))
        report = self.assert_setup_ran(done)
        entry = win(private / "setup.exe")
        self.assertEqual(report["module_path"], entry)
        self.assertEqual(report["command_line"],
                         '"%s" "%s" /x "a b"' % (entry, win(self.launcher)))
        self.assertEqual(report["current_directory"].rstrip("\\"), win(self.dir))
        self.assert_empty(self.tmp)

    def test_one_processor_or_two_decode_the_same_bytes(self):
        # Sixteen 64 KiB blocks, shared by threads where there are two.
        files = folder_files()
        f = fs.build_set(files, 3, block_size=1 << 16, detached=True)
        for cpus, processors in (("0", 1), ("0,1", 2)):
            with self.subTest(cpus=cpus):
                self.clear_folder()
                report = self.assert_setup_ran(self.run_launcher(f, cpus=cpus), wait_s=30)
                self.assertEqual(report["processors"], processors)
                [private] = lf.private_folders(self.tmp)
                self.assertEqual(tree(private), dict(files))

    def test_a_setup_program_in_blocks_runs_as_one_packed_whole_does(self):
        # stubpack cuts a program larger than a block into blocks; the copy
        # is still named after the launcher, whatever the program's name.
        program = self.dir / "Vendor-Installer.exe"
        program.write_bytes(lf.probe_bytes() + random.Random(31).randbytes(100000))
        self.launcher = self.dir / "Product Setup.exe"
        for form, options in (("fileSet", ["--block-size", "16K"]),
                              ("one program", ["--block-size", "0"])):
            with self.subTest(form):
                built = subprocess.run([str(winelib.STUBPACK), "build", "--setup", str(program),
                                        "--stub", str(winelib.BUILD_WIN / "Stub64.exe"),
                                        "--preset", "0", "--out", str(self.launcher)] + options,
                                       capture_output=True, text=True)
                self.assertEqual((built.returncode, built.stderr), (0, ""))
                info = json.loads(subprocess.run(
                    [str(winelib.STUBPACK), "inspect", "--json", str(self.launcher)],
                    capture_output=True, text=True, check=True).stdout)
                self.assertEqual(info.get("form", "one program"), form)
                report = self.assert_setup_ran(self.run_launcher(None, ("/x", '"a b"')))
                copy = self.assert_private_copy(report["module_path"], self.tmp,
                                                "Product Setup.exe")
                self.assertEqual(report["command_line"], '"%s" "%s" /x "a b"' % (
                    win(copy), win(self.launcher)))
                self.assertEqual(report["current_directory"].rstrip("\\"), win(self.dir))
                self.assert_empty(self.tmp)

    def another_process_fails(self, action, path):
        target = win(path)
        commands = {
            "write": ["cmd", "/c", "echo x>>" + target],
            "rename": ["cmd", "/c", "move", target, win(path.with_name("moved"))],
            "delete": ["cmd", "/c", "del", target],
        }
        before = path.read_bytes()
        winelib.wine(commands[action])
        return path.exists() and path.read_bytes() == before \
            and not path.with_name("moved").exists()

    def test_hostile_tables_are_damaged_and_create_nothing(self):
        probe = lf.probe_bytes()

        def entry_size(index, delta):
            def patch(table, entries, blocks):
                entries[index]["size"] += delta
            return patch

        def block(index, **changes):
            def patch(table, entries, blocks):
                for key, delta in changes.items():
                    blocks[index][key] += delta
            return patch

        two = [("a.bin", bytes(5000)), ("setup.exe", probe)]
        cases = {
            "traversal": ([("..\\setup.exe", probe)], 0, None),
            "drive letter": ([("C:\\setup.exe", probe)], 0, None),
            "stream": ([("setup.exe:x", probe)], 0, None),
            "device name": ([("CON.txt", b"x"), ("setup.exe", probe)], 1, None),
            "trailing dot": ([("setup.exe.", probe)], 0, None),
            "short name": ([("SETUP~1.EXE", probe)], 0, None),
            "case-folded duplicate": ([("SETUP.EXE", b"x"), ("setup.exe", probe)], 1, None),
            "file and folder": ([("bin", b"x"), ("bin\\setup.exe", probe)], 1, None),
            "sizes do not add up": (two, 1, entry_size(0, 1)),
            "blocks overlap": (two, 1, block(1, packed_offset=-1)),
            "block past the file": (two, 1, block(1, packed_size=1 << 20)),
        }
        for name, (files, entry, patch) in cases.items():
            with self.subTest(name):
                self.clear_folder()
                f = fs.build_set(files, entry, block_size=4096, patch=patch)
                self.assert_box(self.run_launcher(f), DAMAGED)
                self.assert_empty(self.tmp)

    def test_a_table_past_its_limit_is_damaged(self):
        f = bytearray(fs.build_set([("setup.exe", lf.probe_bytes())], 0).data)
        header_at = len(lf.stub_bytes())
        # setTableSize sits at header bytes 54-61; the CRC region is made to
        # reach that far, so only the limit can refuse it.
        struct.pack_into("<Q", f, header_at + 54, (4 << 20) + 2)
        f += bytes(4 << 20)
        crc_length = len(f) - header_at
        struct.pack_into("<IIIqI", f, lf.LOCATOR_OFFSET, header_at, crc_length,
                         zlib.crc32(bytes(f[header_at:])), len(f), 0)
        self.assert_box(self.run_launcher(bytes(f)), DAMAGED)
        self.assert_empty(self.tmp)

    def test_a_changed_byte_in_a_block_is_damaged_and_leaves_nothing(self):
        files = folder_files()
        f = fs.build_set(files, 3, block_size=1 << 16)
        for which in (0, len(f.blocks) // 2, len(f.blocks) - 1):
            with self.subTest(block=which):
                self.clear_folder()
                data = bytearray(f.data)
                b = f.blocks[which]
                data[b["packed_offset"] + b["packed_size"] // 2] ^= 0x10
                self.assert_box(self.run_launcher(bytes(data)), DAMAGED)
                self.assert_empty(self.tmp)

    def test_a_file_cut_inside_the_blocks_is_truncated(self):
        f = fs.build_set(folder_files(), 3, block_size=1 << 16, detached=True)
        # Detached: the locator's 32-bit minimum passes; the table's
        # packageEnd finds the cut.
        data = bytearray(f.data[:-100])
        struct.pack_into("<I", data, lf.LOCATOR_OFFSET + 20, len(data))
        self.assert_box(self.run_launcher(bytes(data)), TRUNCATED)
        self.assert_empty(self.tmp)

    def test_a_path_too_long_for_windows_creates_nothing(self):
        # A /temp folder whose private folder still fits (247 units), while
        # the entry's path inside it passes MAX_PATH.
        base = win(self.dir)
        deep = self.dir / ("t" * (247 - len("\\sl-0123456789abcdef.tmp") - len(base) - 1))
        deep.mkdir()
        name = "n" * 20 + ".exe"
        self.assertGreater(len(win(deep)) + 24 + 1 + len(name), 259)
        f = fs.build_set([(name, lf.probe_bytes())], 0)
        self.assert_box(self.run_launcher(f, ("/temp", win(deep))), TEMP_COPY_FAILED)
        self.assert_empty(deep)

    def test_a_killed_launcher_leaves_no_file_with_content(self):
        # Random bytes decode slowly: 48 MiB in 1 MiB blocks keep the
        # launcher writing for a second or more even on two processors, so
        # the kill lands in the middle when it comes late too (with half of
        # that, a fast machine once finished first and rightly kept the
        # accepted files).
        rng = random.Random(12)
        files = [("data\\%02d.bin" % i, rng.randbytes(6 << 20)) for i in range(8)]
        files.append(("setup.exe", lf.probe_bytes()))
        f = fs.build_set(files, 8, dict_size=1 << 16)
        def being_written():
            for path in self.tmp.glob("sl-*.tmp/data/*.bin"):
                if path.stat().st_size > 0:
                    return path
            return None

        for cpus in ("0", "0,1"):
            with self.subTest(cpus=cpus):
                self.clear_folder()
                result, seen = self.run_killed_midway(f, being_written, cpus=cpus)
                self.assertIsNotNone(seen, "no file was seen being written")
                self.assertTrue(result["killed"], result)
                self.assertFalse(self.report_path.exists(), "the entry ran")
                left = [p for p in self.tmp.rglob("*") if p.is_file()]
                self.assertEqual(left, [])


class InstallerPackages(lf.LauncherTestCase):
    """An .msi entry runs through msiexec, silently with /s, and the launcher
    ends with msiexec's own exit code."""

    def install(self, name, args=("/s",), **options):
        package = msi.build_msi(self.dir / "msi", name=name,
                                record_property=("LAUNCHERPATH", "UILevel", "MYPROP"),
                                **options)
        self.addCleanup(winelib.wine, package.uninstall_args())
        files = [(path.name, path.read_bytes()) for path in (package.msi, *package.cabs)]
        files.sort(key=lambda item: item[0].upper())
        entry = [path for path, _ in files].index(package.msi.name)
        result = self.run_launcher(fs.build_set(files, entry), args)
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["boxes"], [])
        self.assert_empty(self.tmp)
        return package, result["exit_code"]

    def recorded(self, package, name):
        value = winelib.reg_query(package.registry_key, name)
        return value and value[1]

    def test_msiexec_installs_silently_and_its_exit_code_goes_on(self):
        cases = {
            "embedded cabinet": {},
            "external cabinet": {"external_cab": True},
            "failing package": {"fail": True},
            "reboot requested": {"reboot": True},
        }
        for i, (name, options) in enumerate(cases.items()):
            with self.subTest(name):
                package, code = self.install("Set%d" % i, **options)
                self.assertEqual(code, package.expected_exit_code)
                if package.fail:
                    continue
                installed = package.install_dir(winelib.WINEPREFIX)
                self.assertEqual({p.name: p.read_bytes() for p in installed.iterdir()},
                                 package.files)
                self.assertEqual(self.recorded(package, "LAUNCHERPATH"), win(self.launcher))
                # /s became /qn: no user interface at all.
                self.assertEqual(self.recorded(package, "UILevel"), "2")

    def test_properties_reach_the_package(self):
        package, code = self.install("SetProps", args=('"MYPROP=a b"', "/temp", win(self.tmp)))
        self.assertEqual(code, 0)
        self.assertEqual(self.recorded(package, "MYPROP"), "a b")
        # No /s: a basic user interface, yet nothing to click for this package.
        self.assertEqual(self.recorded(package, "UILevel"), "5")


if __name__ == "__main__":
    unittest.main()
