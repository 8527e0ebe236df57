# SPDX-License-Identifier: 0BSD
"""Builds launcher files for end-to-end tests straight from the file format,
without the packer, so the tests also cross-check the packer's layout.

A launcher file is the stub (Stub64.exe) followed by the package:

    header (74 bytes) | compressed block | text (UTF-16LE) | extra bytes

The CRC region covers the header, the block, the text and `crc_extra` bytes
behind the text; `after_crc` bytes follow outside it. The locator at byte 128 is written
last. Every header and locator field can be overridden, so damaged files are
built the same way as good ones:

    f = build(probe_bytes)                                    # a good file
    f = build(probe_bytes, header={"payload_size": -1})       # damaged
    f = build(block=raw, properties=props, payload_size=n)    # crafted stream
    path.write_bytes(f.data)

LauncherTestCase runs such files through harness.exe, each test in a folder
of its own with its own TMP.
"""

import functools
import json
import lzma
import ntpath
import os
import re
import shutil
import struct
import tempfile
import threading
import time
import unittest
import zlib
from dataclasses import dataclass
from pathlib import Path

import winelib

HEADER = struct.Struct("<5sQHHHHB12sIIi22sIH")
LOCATOR = struct.Struct("<IIIqI")
LOCATOR_OFFSET = 128

HEADER_FIELDS = ("lzma_properties", "support_flags", "win10_min_code", "win10_max_code",
                 "win11_min_code", "win11_max_code", "admin_mode", "reserved1",
                 "payload_offset", "payload_packed_size", "payload_size", "reserved2",
                 "text_offset", "text_length")
LOCATOR_FIELDS = ("package_offset", "crc_length", "crc_value", "expected_file_size",
                  "detached_file_size")

# The launcher's four fixed messages, word for word (two spaces after each
# full stop inside a text).
DAMAGED = ("An error occurred while trying to read the setup package.  It has most likely "
           "been damaged.  Please obtain a new copy from the vendor.")
TRUNCATED = ("The setup package has been truncated.  You most likely have an incomplete "
             "download.  Try downloading it again.")
TEMP_COPY_FAILED = (
    "An error occurred while trying to create a temporary copy of the setup package.  "
    "Please make sure that you have sufficient access rights to this computer to install "
    "software and that the Windows TEMP folder can be written to.  You can make this "
    "installer use a different folder for its temporary files using the /temp command line "
    "parameter followed by the path to a folder you can write to and run applications from.")
LAUNCH_FAILED = (
    "The temporary copy of the setup package could not be executed.  Your system may have "
    "a software restriction policy in place that blocks executables in the temporary files "
    "folder.  You can make this installer use a different folder for its temporary files "
    "using the /temp command line parameter followed by the path to a folder you can write "
    "to and run applications from.")

DEFAULT_TEXT = "This setup program cannot run on %USER%."

# The exit code each message ends with; any other text is the package's own
# refusal (ERROR_INSTALL_REJECTED). A failed start ends with its own error:
# in these tests a direct start of a file that is no program,
# ERROR_BAD_EXE_FORMAT.
REJECTED = 1654
MESSAGE_EXIT_CODES = {DAMAGED: 1620, TRUNCATED: 1619, TEMP_COPY_FAILED: 1632,
                      LAUNCH_FAILED: 193}


# Read once per run: a rebuild in the middle of a run must not mix stubs.
@functools.lru_cache(maxsize=None)
def stub_bytes():
    return (winelib.BUILD_WIN / "Stub64.exe").read_bytes()


def property_bytes(lc=3, lp=0, pb=2, dict_size=1 << 22):
    return bytes([(pb * 5 + lp) * 9 + lc]) + struct.pack("<I", dict_size)


def compress(data, lc=3, lp=0, pb=2, dict_size=1 << 22):
    """(raw LZMA1 block ending in an end marker, the five property bytes)."""
    filters = [{"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb,
                "dict_size": dict_size}]
    block = lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)
    return block, property_bytes(lc, lp, pb, dict_size)


@dataclass
class LauncherFile:
    data: bytes
    header: dict      # the header fields as written
    locator: dict     # the locator fields as written
    block_offset: int  # where the compressed block actually lies
    text_offset: int
    crc_end: int      # file offset just past the CRC region
    package_end: int  # file offset just past the package


def build(setup=None, *, block=None, properties=None, payload_size=None, stub=None,
          text=DEFAULT_TEXT, crc_extra=b"", after_crc=b"", detached=False,
          header=None, locator=None):
    """A launcher file carrying SETUP (compressed here), or the raw BLOCK
    with PROPERTIES and PAYLOAD_SIZE as given. HEADER and LOCATOR map field
    names to values that replace the computed ones. In detached mode the
    detached minimum size is the whole file's size."""
    if block is None:
        block, computed = compress(setup)
        properties = properties or computed
        payload_size = len(setup) if payload_size is None else payload_size
    elif payload_size is None:
        raise ValueError("a raw block needs its payload_size")
    if properties is None:
        properties = property_bytes()
    if stub is None:
        stub = stub_bytes()
    package_offset = len(stub)
    block_offset = package_offset + HEADER.size
    text_offset = block_offset + len(block)
    # Bytes are taken as UTF-16LE units as they are (lone surrogates included).
    text_bytes = text if isinstance(text, bytes) else text.encode("utf-16-le")
    crc_end = text_offset + len(text_bytes) + len(crc_extra)
    package_end = crc_end + len(after_crc)

    fields = {
        "lzma_properties": properties, "support_flags": 0x8000000000000F80,
        "win10_min_code": 1507, "win10_max_code": 9999,
        "win11_min_code": 2110, "win11_max_code": 9999, "admin_mode": 2,
        "reserved1": bytes(12), "payload_offset": block_offset,
        "payload_packed_size": len(block), "payload_size": payload_size,
        "reserved2": bytes(22), "text_offset": text_offset,
        "text_length": len(text_bytes) // 2,
    }
    fields.update(header or {})
    unknown = set(fields) - set(HEADER_FIELDS)
    if unknown:
        raise KeyError("unknown header fields: %s" % sorted(unknown))
    header_bytes = HEADER.pack(*(fields[name] for name in HEADER_FIELDS))

    data = bytearray(stub)
    data += header_bytes + block + text_bytes + crc_extra + after_crc
    crc_length = crc_end - package_offset
    # Computed over the header as overridden, so a forged header field is
    # seen by the check that reads it, not by the CRC.
    loc = {
        "package_offset": package_offset, "crc_length": crc_length,
        "crc_value": zlib.crc32(bytes(data[package_offset:crc_end])),
        "expected_file_size": package_end,
        "detached_file_size": package_end if detached else 0,
    }
    loc.update(locator or {})
    unknown = set(loc) - set(LOCATOR_FIELDS)
    if unknown:
        raise KeyError("unknown locator fields: %s" % sorted(unknown))
    data[LOCATOR_OFFSET:LOCATOR_OFFSET + LOCATOR.size] = LOCATOR.pack(
        *(loc[name] for name in LOCATOR_FIELDS))
    return LauncherFile(bytes(data), fields, loc, block_offset, text_offset, crc_end,
                        package_end)


# The folder of its own that each run makes for its copy.
PRIVATE_FOLDER = re.compile(r"sl-[0-9a-f]{16}\.tmp")


def private_folder_of(module_path, folder, name):
    """The private folder (a Linux path) of a copy the setup program reported
    as MODULE_PATH, or None unless that is FOLDER/<private folder>/NAME."""
    private, copy_name = ntpath.split(module_path)
    parent, private_name = ntpath.split(private)
    if (copy_name != name or not PRIVATE_FOLDER.fullmatch(private_name)
            or parent != winelib.to_windows_path(folder)):
        return None
    return Path(folder) / private_name


def private_folders(folder):
    return sorted(p for p in Path(folder).iterdir() if PRIVATE_FOLDER.fullmatch(p.name))


@functools.lru_cache(maxsize=None)
def probe_bytes():
    return winelib.probe_exe().read_bytes()


def require_wine():
    """For setUpModule: skips when Wine or the Windows builds are missing."""
    if not winelib.wine_available():
        raise unittest.SkipTest("wine is not installed")
    if winelib.harness_exe() is None or winelib.probe_exe() is None:
        raise unittest.SkipTest("harness.exe/probe.exe not built in %s" % winelib.BUILD_WIN)
    if not (winelib.BUILD_WIN / "Stub64.exe").is_file():
        raise unittest.SkipTest("Stub64.exe not built in %s" % winelib.BUILD_WIN)
    winelib.ensure_prefix()
    winelib.start_wineserver()


class LauncherTestCase(unittest.TestCase):
    """self.dir holds the launcher (self.launcher, setup.exe), the TMP folder
    (self.tmp) and the probe's report (self.report_path)."""

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="e2e-launcher-"))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.tmp = self.dir / "tmp"
        self.tmp.mkdir()
        self.report_path = self.dir / "report.json"
        self.launcher = self.dir / "setup.exe"

    def run_launcher(self, launcher_file=None, args=(), tmp=None, launcher=None, env=None,
                     **kwargs):
        """Writes LAUNCHER_FILE (bytes, or anything with .data) to LAUNCHER (default
        self.launcher) and runs it with TMP (default self.tmp)."""
        launcher = launcher or self.launcher
        if launcher_file is not None:
            data = getattr(launcher_file, "data", launcher_file)
            # Replaced, not rewritten in place, so a process of the previous
            # run that is still ending never has its image changed under it.
            fresh = Path(launcher).with_name(Path(launcher).name + ".new")
            fresh.write_bytes(data)
            os.replace(fresh, launcher)
        self.report_path.unlink(missing_ok=True)
        full_env = {"PROBE_REPORT": winelib.to_windows_path(self.report_path)}
        full_env.update(env or {})
        return winelib.run_launcher(launcher, args, tmp=self.tmp if tmp is None else tmp,
                                    env=full_env, **kwargs)

    def run_killed_midway(self, launcher_file, half_written, timeout_ms=120000, **options):
        """Runs LAUNCHER_FILE and ends it with TerminateProcess as soon as
        HALF_WRITTEN() (polled every 5 ms, for up to a minute) returns
        something; returns (the harness report, what HALF_WRITTEN returned,
        or None when it never did). OPTIONS go to run_launcher."""
        trigger = self.dir / "kill-now"
        trigger.unlink(missing_ok=True)  # an earlier run's
        seen = []

        def watch():
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and not seen:
                try:
                    found = half_written()
                except OSError:  # a file went while it was looked at
                    found = None
                if found:
                    seen.append(found)
                time.sleep(0.005)
            trigger.touch()

        watcher = threading.Thread(target=watch)
        watcher.start()
        result = self.run_launcher(launcher_file, kill_when=trigger, timeout_ms=timeout_ms,
                                   **options)
        watcher.join()
        return result, seen[0] if seen else None

    def probe_report(self, wait_s=0.0):
        """The probe's final report, or None. In detached mode the probe may
        still run when the launcher has ended, hence WAIT_S."""
        deadline = time.monotonic() + wait_s
        while True:
            try:
                report = json.loads(self.report_path.read_text(encoding="utf-8"))
                if report["finished"]:
                    return report
            except (OSError, ValueError):
                pass
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.05)

    def assert_box(self, result, text, launcher=None):
        """Exactly one error box with TEXT, captioned with the launcher's
        full path, then the exit code of that message."""
        caption = winelib.to_windows_path(launcher or self.launcher)
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["boxes"],
                         [{"caption": caption, "text": text, "has_icon": True}])
        self.assertEqual(result["exit_code"], MESSAGE_EXIT_CODES.get(text, REJECTED))

    def assert_setup_ran(self, result, wait_s=0.0):
        """No box, exit code 0 and a finished probe report, which it returns."""
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["boxes"], [])
        self.assertEqual(result["exit_code"], 0)
        report = self.probe_report(wait_s)
        self.assertIsNotNone(report, "the setup program did not run")
        return report

    def assert_private_copy(self, module_path, folder, name="setup.exe"):
        """The copy's Linux path, after checking that it lies in a private
        folder directly inside FOLDER, under NAME."""
        private = private_folder_of(module_path, folder, name)
        self.assertIsNotNone(private, "%s is not in a private folder of %s named %s"
                             % (module_path, folder, name))
        return private / name

    def left_copy(self, folder=None, name="setup.exe"):
        """The one copy a detached run or a failed start left in FOLDER
        (default TMP): NAME, alone in the one private folder there."""
        folder = Path(folder or self.tmp)
        self.assertEqual([p.name for p in folder.iterdir()],
                         [p.name for p in private_folders(folder)])
        [private] = private_folders(folder)
        self.assertEqual([p.name for p in private.iterdir()], [name])
        return private / name

    def clear_folder(self, folder=None):
        """Empties FOLDER (default TMP) of what earlier runs left there."""
        for p in Path(folder or self.tmp).iterdir():
            if p.is_dir():
                shutil.rmtree(p)
            else:
                p.unlink()

    def assert_empty(self, folder):
        self.assertEqual(sorted(p.name for p in Path(folder).iterdir()), [])
