# SPDX-License-Identifier: 0BSD
"""stubpack under hostile input: output folders that try to run shell code
through --sign-command, outputs that are no regular files, sign commands
that never end, grow without bound or leave litter, broken signature blocks
and refusal texts the launcher would cut short. Linux, and stubpack.exe
under Wine where Windows behaves differently.
"""
import os
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402

STUBPACK = str(winelib.STUBPACK)
WINDOWS_STUBPACK = winelib.BUILD_WIN / "packer" / "stubpack.exe"
HAVE_WINE = winelib.wine_available() and WINDOWS_STUBPACK.is_file()

# A stand-in signer: appends a well-formed certificate table (one
# WIN_CERTIFICATE, PKCS#7 type, no real signature) and points directory 4 at it.
# A third argument names a byte it changes as well.
SIGNER = """
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
data += bytes(-len(data) % 8)
table = struct.pack("<IHH", 16, 0x200, 2) + b"notPKCS7"
entry = struct.unpack_from("<I", data, 60)[0] + 24 + 112 + 4 * 8
struct.pack_into("<II", data, entry, len(data), len(table))
if len(sys.argv) > 3:
    data[int(sys.argv[3])] ^= 1
open(sys.argv[2], "wb").write(data + table)
"""


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=120, **kw)


def certificate_entry(length=16, revision=0x200, kind=2):
    entry = struct.pack("<IHH", length, revision, kind) + bytes(max(length - 8, 0))
    return entry + bytes(-len(entry) % 8)


@unittest.skipUnless(os.path.exists(STUBPACK) and winelib.STUB.is_file(),
                     "needs stubpack and Stub64.exe")
class HostilePacker(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="stubpack-hostile-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.setup = self.dir / "app.exe"
        self.setup.write_bytes(bytes(range(256)) * 200)
        self.signer = self.dir / "signer.py"
        self.signer.write_text(SIGNER)

    def build(self, out, *extra, cwd=None):
        return run(STUBPACK, "build", "--stub", winelib.STUB, "--setup", self.setup,
                   "--preset", "0", "--out", out, *extra, cwd=cwd)

    def assert_one_line(self, result, fragment):
        lines = result.stderr.splitlines()
        self.assertEqual((result.returncode, len(lines)), (1, 1), result.stderr)
        self.assertTrue(lines[0].startswith("stubpack: "), lines[0])
        self.assertIn(fragment, lines[0])

    def assert_no_shell_code_ran(self):
        ran = [p for p in self.dir.rglob("PWNED")]
        self.assertEqual(ran, [])

    # --- 1: paths never become shell text --------------------------------

    def test_output_folder_names_are_never_shell_code(self):
        names = ["{in}", "{out}", "{out} $(touch PWNED)", "it's", 'say "hi"',
                 "$(touch PWNED)", "`touch PWNED`", "a;touch PWNED", "a&touch PWNED&",
                 "a|touch PWNED", "%PATH%", "!", "new\nline", "-leading", "Ünïcødé ﬁ"]
        for name in names:
            with self.subTest(name=name):
                (self.dir / name).mkdir()
                out = name + "/x.exe"  # relative: a leading dash stays one
                result = self.build(out, "--sign-command", "python3 %s {in} {out}" % self.signer,
                                    cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                verify = run(STUBPACK, "verify", self.dir / out)
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                self.assertIn("signature     ok", verify.stdout)
                self.assertEqual(os.listdir(self.dir / name), ["x.exe"])
                self.assert_no_shell_code_ran()

    def test_signed_result_is_compared_and_taken_piece_by_piece(self):
        # A launcher file of several 1 MiB pieces: a byte changed on either
        # side of a piece boundary is found, and an honest result becomes OUT
        # byte for byte.
        self.setup.write_bytes(os.urandom(3 << 20))
        unsigned = self.dir / "unsigned.exe"
        self.assertEqual(self.build(unsigned).returncode, 0)
        size = unsigned.stat().st_size
        sign = "python3 %s {in} {out}" % self.signer
        for changed in ((1 << 20) - 1, 1 << 20, (1 << 20) + 1, size - 1, None):
            with self.subTest(changed=changed):
                out = self.dir / "x.exe"
                result = self.build(out, "--sign-command",
                                    sign + ("" if changed is None else " %d" % changed))
                if changed is not None:
                    self.assert_one_line(result, "changed byte %d of the launcher file" % changed)
                    self.assertFalse(out.exists())
                    continue
                self.assertEqual(result.returncode, 0, result.stderr)
                expected = self.dir / "expected.exe"
                run(sys.executable, self.signer, unsigned, expected)
                self.assertEqual(out.read_bytes(), expected.read_bytes())

    def test_placeholders_in_quotes_are_refused(self):
        for template, fragment in [
                ('cp "{in}" {out}', "{in} stands inside quotes"),
                ("cp {in} '{out}'", "{out} stands inside quotes"),
                ('cp {in} "--to={out}"', "{out} stands inside quotes"),
                ("cp \\{in} {out}", "{in} follows an escape character")]:
            with self.subTest(template=template):
                self.assert_one_line(self.build(self.dir / "x.exe", "--sign-command", template),
                                     fragment)
                self.assertFalse((self.dir / "x.exe").exists())

    @unittest.skipUnless(HAVE_WINE, "needs Wine and stubpack.exe")
    def test_windows_folder_names_are_never_cmd_code(self):
        # copy writes an unsigned file, refused as such: the paths arrived
        # whole, and nothing in them ran.
        w = winelib.to_windows_path
        for name in ["{in}", "{out}", "a & mkdir PWNED & rem", "a & mkdir PWNED",
                     "it's", "%PATH%", "!PATH!", "a^b", "(x)", "-leading", "Ünïcødé"]:
            for slash in ("\\", "/"):
                with self.subTest(name=name, slash=slash):
                    folder = self.dir / name
                    folder.mkdir(exist_ok=True)
                    code, _, stderr = winelib.wine(
                        [WINDOWS_STUBPACK, "build", "--stub", w(winelib.STUB), "--setup",
                         w(self.setup), "--preset", "0",
                         "--out", w(folder / "x.exe").replace("\\", slash),
                         "--sign-command", "copy /y {in} {out}"], cwd=self.dir)
                    self.assertEqual(code, 1, stderr)
                    # Wine's cmd.exe expands a variable's value once more
                    # (Windows does not): the path is then wrong, but
                    # still one quoted argument.
                    self.assertIn("exit code 1" if name == "%PATH%" else "carries no signature",
                                  stderr)
                    self.assertEqual(os.listdir(folder), [])
                    self.assert_no_shell_code_ran()

    # --- 2: only regular files are replaced ------------------------------

    def test_outputs_that_are_no_regular_files_are_refused(self):
        fifo = self.dir / "fifo"
        os.mkfifo(fifo)
        (self.dir / "folder").mkdir()
        launcher = self.dir / "launcher.exe"
        self.assertEqual(self.build(launcher).returncode, 0)
        commands = {
            "build": ["build", "--stub", winelib.STUB, "--setup", self.setup, "--out"],
            "extract": ["extract", launcher, "--out"],
            "stub": ["stub", "--out"],
        }
        for out, fragment in [("/dev/null", "is a character device"), (fifo, "is a FIFO"),
                              (self.dir / "folder", "is a folder"),
                              ("/dev/stdout", "is a link to a FIFO"),
                              ("/proc/self/fd/1", "is a link to a FIFO")]:
            for command, args in commands.items():
                with self.subTest(command=command, out=out):
                    self.assert_one_line(run(STUBPACK, *args, out), fragment)
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertEqual(sorted(os.listdir(self.dir / "folder")), [])

    @unittest.skipUnless(HAVE_WINE, "needs Wine and stubpack.exe")
    def test_windows_devices_and_folders_are_refused(self):
        w = winelib.to_windows_path
        for out, fragment in [("NUL", "is a device"), (w(self.dir), "is a folder")]:
            with self.subTest(out=out):
                code, _, stderr = winelib.wine(
                    [WINDOWS_STUBPACK, "build", "--stub", w(winelib.STUB), "--setup",
                     w(self.setup), "--out", out])
                self.assertEqual(code, 1, stderr)
                self.assertIn(fragment, stderr)

    # --- 3, 4: bounded signing, nothing left behind ----------------------

    def assert_only(self, *names):
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()
                                if p.name not in ("app.exe", "signer.py", "pid")),
                         sorted(names))

    def assert_ended(self, pid_file):
        # Gone, or a zombie that init has yet to reap.
        status = Path("/proc/%d/status" % int(pid_file.read_text()))
        deadline = time.monotonic() + 10
        while status.exists() and "\tZ" not in status.read_text() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(not status.exists() or "\tZ" in status.read_text(),
                        "the command's child lives on")

    def test_sign_command_that_never_ends(self):
        pid = self.dir / "pid"
        started = time.monotonic()
        result = self.build(self.dir / "x.exe", "--sign-timeout", "1", "--sign-command",
                            "sleep 60 & echo $! > %s; wait; cp {in} {out}" % pid)
        self.assert_one_line(result, "time limit of 1 s")
        self.assertLess(time.monotonic() - started, 30)
        self.assert_ended(pid)
        self.assert_only()

    def test_signals_end_the_sign_command(self):
        for sent, name in [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT"),
                           (signal.SIGHUP, "SIGHUP")]:
            with self.subTest(signal=name):
                pid = self.dir / "pid"
                pid.unlink(missing_ok=True)
                proc = subprocess.Popen(
                    [STUBPACK, "build", "--stub", winelib.STUB, "--setup", self.setup,
                     "--out", self.dir / "x.exe", "--sign-command",
                     "sleep 60 & echo $! > %s.new; mv %s.new %s; wait; cp {in} {out}"
                     % (pid, pid, pid)],
                    stderr=subprocess.PIPE, text=True)
                deadline = time.monotonic() + 60
                while not pid.exists() and time.monotonic() < deadline:
                    time.sleep(0.05)
                proc.send_signal(sent)
                stderr = proc.communicate(timeout=60)[1]
                self.assert_one_line(subprocess.CompletedProcess([], proc.returncode, "", stderr),
                                     "stubpack received " + name)
                self.assert_ended(pid)
                self.assert_only()

    def test_sign_command_results_that_are_refused_leave_nothing(self):
        big = 3 << 30
        cases = [
            ("truncate -s %d {out}; true {in}" % big, "signing may add at most 16 MiB"),
            ("cp {in} {out}; touch $(dirname {in})/extra", "carries no signature"),
            ("mkdir {out}; true {in}", "wrote no {out}"),
            ("mkfifo {out}; true {in}", "wrote no {out}"),
            ("mkdir -p $(dirname {in})/sub/deeper; python3 %s {in} {out}" % self.signer, None),
        ]
        for template, fragment in cases:
            with self.subTest(template=template):
                result = self.build(self.dir / "x.exe", "--sign-command", template)
                if fragment:
                    self.assert_one_line(result, fragment)
                    self.assert_only()
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assert_only("x.exe")
                    (self.dir / "x.exe").unlink()
        # The 3 GiB file was judged by its size, never read.
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 512 << 10)

    @unittest.skipUnless(HAVE_WINE, "needs Wine and stubpack.exe")
    def test_windows_sign_command_that_never_ends(self):
        w = winelib.to_windows_path
        code, _, stderr = winelib.wine(
            [WINDOWS_STUBPACK, "build", "--stub", w(winelib.STUB), "--setup", w(self.setup),
             "--out", w(self.dir / "x.exe"), "--sign-timeout", "1",
             "--sign-command", "ping -n 60 127.0.0.1 & rem {in}"])
        self.assertEqual(code, 1, stderr)
        self.assertIn("time limit of 1 s", stderr)
        self.assert_only()

    # --- 8: verify judges the signature block's form ---------------------

    def test_verify_judges_the_signature_block(self):
        launcher = self.dir / "launcher.exe"
        self.assertEqual(self.build(launcher).returncode, 0)
        plain = launcher.read_bytes()
        entry_at = struct.unpack_from("<I", plain, 60)[0] + 24 + 112 + 4 * 8
        aligned = len(plain) + (-len(plain) % 8)

        def signed(table, offset=aligned, size=None, tail=b""):
            # The table at `offset`: behind the file, or over its end.
            data = bytearray(plain[:offset].ljust(offset, b"\0") + table + tail)
            struct.pack_into("<II", data, entry_at, offset, len(table) if size is None else size)
            return bytes(data)
        good = certificate_entry(1000)
        cases = [
            ("unsigned", plain, "none"),
            ("well formed", signed(good), "ok: certificate table of 1000 bytes"),
            ("two entries", signed(certificate_entry(20) + certificate_entry(12, 0x100)), "ok:"),
            ("overlaps the package",  # the package's last bytes called a table
             signed(plain.ljust(aligned, b"\0")[-64:], offset=aligned - 64),
             "overlaps the package"),
            ("runs past the end", signed(good, size=1008), "runs past the end of the file"),
            ("bytes after it", signed(good, tail=bytes(8)), "is followed by 8 bytes"),
            ("off the 8-byte grid", signed(good, offset=aligned + 4), "8-byte boundary"),
            ("zero size", signed(good, size=0), "zero offset or size"),
            ("7 bytes", signed(bytes(7)), "7 bytes, too short for an entry"),
            ("length 4", signed(certificate_entry(4)), "gives a length of 4"),
            ("length past the table", signed(struct.pack("<IHH", 64, 0x200, 2) + bytes(8)),
             "past the table's end"),
            ("type 1", signed(certificate_entry(16, kind=1)), "not PKCS#7 signed data"),
            ("revision 3.0", signed(certificate_entry(16, revision=0x300)), "revision 3.0"),
        ]
        for name, data, fragment in cases:
            with self.subTest(name):
                path = self.dir / "signed.exe"
                path.write_bytes(data)
                result = run(STUBPACK, "verify", path)
                if fragment == "none" or fragment.startswith("ok:"):
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    self.assertIn("signature     " + fragment, result.stdout)
                else:
                    self.assert_one_line(result, "the signature block is broken")
                    self.assertIn(fragment, result.stderr)
                    self.assertIn("signature     FAILED", result.stdout)

    # --- 9: texts the launcher would cut or show empty -------------------

    def test_refusal_texts_the_launcher_cannot_show_whole(self):
        def text_file(data):
            path = self.dir / ("text-%d.txt" % len(list(self.dir.glob("text-*"))))
            path.write_bytes(data)
            return ["--unsupported-text-file", path]
        for options, fragment in [
                (["--unsupported-text", ""], "is empty"),
                (text_file(b"\xef\xbb\xbf"), "is empty"),
                (text_file(b"\n"), "is empty"),
                (text_file(b"\xef\xbb\xbf\r\n"), "is empty"),
                (text_file(b"ab\0cd"), "NUL character after 2 UTF-16 units")]:
            with self.subTest(options=options):
                self.assert_one_line(self.build(self.dir / "x.exe", *options), fragment)
        # Another tool's file: a NUL inside the text, the CRC-32 made right.
        launcher = self.dir / "launcher.exe"
        self.assertEqual(self.build(launcher, "--unsupported-text", "abcd").returncode, 0)
        data = bytearray(launcher.read_bytes())
        at = data.index("abcd".encode("utf-16-le"))
        data[at + 2:at + 4] = b"\0\0"
        package, length = struct.unpack_from("<II", data, 128)
        struct.pack_into("<I", data, 136, zlib.crc32(data[package:package + length]))
        launcher.write_bytes(data)
        result = run(STUBPACK, "verify", launcher)
        self.assert_one_line(result, "refusal text check fails")
        self.assertIn("shows only the first 1 of the 4 UTF-16 units", result.stderr)


if __name__ == "__main__":
    unittest.main()
