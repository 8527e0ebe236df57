# SPDX-License-Identifier: 0BSD
"""stubpack and file sets on the command line: build --setup-dir, inspect,
verify and extract, and every class of bad input, each one line.

Runs the host build's stubpack (BUILD_HOST), like test_packer_cli.py;
nothing here starts a launcher.
"""
import json
import os
import pty
import random
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

from test_packer_cli import BUILD_WIN, DAMAGED, STUBPACK, TRUNCATED, minimal_stub, run, setup_image

SIGN = ("osslsigncode sign -certs {cert}.pem -key {cert}.key -h sha256 -time 1767225600 "
        "-in {{in}} -out {{out}}")


def tree(root):
    """{relative path with /: bytes} of every file under ROOT."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


@unittest.skipUnless(os.path.exists(STUBPACK), "no stubpack at " + STUBPACK)
class FileSetCli(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="stubpack-sets-")
        self.dir = self.tmp.name
        real = os.path.join(BUILD_WIN, "Stub64.exe")
        self.stub = os.path.join(self.dir, "stub.exe")
        if os.path.exists(real):
            shutil.copy(real, self.stub)
        else:
            with open(self.stub, "wb") as f:
                f.write(minimal_stub(size=8192))
        self.set = os.path.join(self.dir, "set")
        self.files = {
            "setup.exe": setup_image(70_000, seed=1),
            "data/product.msi": setup_image(50_000, seed=2),
            "data/cab/data1.cab": setup_image(150_000, seed=3),
            "data/empty.txt": b"",
            "readme.txt": b"Read me.\r\n",
        }
        for path, data in self.files.items():
            self.put(path, data)
        os.makedirs(os.path.join(self.set, "no-files-here"))
        self.out = os.path.join(self.dir, "out.exe")

    def tearDown(self):
        self.tmp.cleanup()

    def put(self, path, data):
        full = os.path.join(self.set, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def build(self, *extra, entry="setup.exe", out=None):
        result = run("build", "--stub", self.stub, "--setup-dir", self.set, "--entry", entry,
                     "--out", out or self.out, *extra)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        return out or self.out

    def inspect(self, path):
        result = run("inspect", path, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def assert_one_line_failure(self, result, fragment):
        self.assertNotEqual(result.returncode, 0)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("stubpack: "), lines[0])
        self.assertIn(fragment, lines[0])

    def leftovers(self):
        return sorted(n for n in os.listdir(self.dir) if n not in ("stub.exe", "set"))

    # --- the round trip ----------------------------------------------------

    def test_a_folder_goes_through_every_command(self):
        self.build("--block-size", "64K", "--preset", "1")
        info = self.inspect(self.out)
        self.assertEqual(info["form"], "fileSet")
        self.assertEqual(info["payload"]["size"], -1)
        self.assertEqual(info["setTable"]["check"], "ok")
        self.assertEqual(info["setTable"]["blockSize"], 65536)
        # Table order: the backslash first, case folded.
        self.assertEqual([f["path"] for f in info["files"]],
                         ["data\\cab\\data1.cab", "data\\empty.txt", "data\\product.msi",
                          "readme.txt", "setup.exe"])
        self.assertEqual(info["entry"], {"index": 4, "path": "setup.exe", "kind": "program"})
        total = sum(len(d) for d in self.files.values())
        self.assertEqual(info["setTable"]["totalSize"], total)
        self.assertEqual(len(info["blocks"]), (total + 65535) // 65536)
        self.assertEqual(sum(b["unpackedSize"] for b in info["blocks"]), total)
        self.assertEqual(info["setupSignature"]["state"], "none")

        human = run("inspect", self.out).stdout
        self.assertIn("packageForm         FSET  (a file set)", human)
        self.assertIn("setup.exe  (entry)", human)

        verify = run("verify", self.out)
        self.assertEqual(verify.returncode, 0, verify.stderr)
        self.assertIn("set table     ok: 5 files", verify.stdout)
        self.assertIn("starts the entry setup.exe", verify.stdout)

        extracted = os.path.join(self.dir, "extracted")
        result = run("extract", self.out, "--out", extracted)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(tree(extracted), self.files)  # empty folders are not carried
        # The same inputs, the same bytes; an .msi entry is started through msiexec.
        again = self.build("--block-size", "64K", "--preset", "1",
                           out=os.path.join(self.dir, "again.exe"))
        with open(self.out, "rb") as a, open(again, "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.build(entry="DATA/Product.MSI")
        self.assertEqual(self.inspect(self.out)["entry"]["kind"], "installer package")
        self.assertIn("msiexec.exe /i on the entry data\\product.msi", run("verify", self.out).stdout)

    def test_extract_writes_only_into_a_new_or_empty_folder(self):
        self.build()
        empty = os.path.join(self.dir, "empty")
        os.mkdir(empty)
        result = run("extract", self.out, "--out", empty)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(tree(empty), self.files)
        taken = os.path.join(self.dir, "taken")
        os.mkdir(taken)
        with open(os.path.join(taken, "mine.txt"), "wb") as f:
            f.write(b"mine")
        self.assert_one_line_failure(run("extract", self.out, "--out", taken), "is not empty")
        self.assertEqual(tree(taken), {"mine.txt": b"mine"})
        self.assert_one_line_failure(run("extract", self.out, "--out", self.stub),
                                     "is not a folder")

    def test_interrupted_extract_leaves_nothing(self):
        self.put("big.bin", random.Random(5).randbytes(64 << 20))  # slow enough to decode
        self.build("--preset", "0", "--block-size", "1M")
        target = os.path.join(self.dir, "x")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                process = subprocess.Popen([STUBPACK, "extract", self.out, "--out", target],
                                           stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                while (not os.path.exists(os.path.join(target, "big.bin"))
                       and time.monotonic() < deadline and process.poll() is None):
                    time.sleep(0.01)
                self.assertIsNone(process.poll(), "extract ended before it was interrupted")
                process.send_signal(sig)
                self.assertEqual(process.wait(timeout=60), -sig)
                self.assertFalse(os.path.exists(target))

    def test_progress_on_a_terminal(self):
        self.put("big.bin", setup_image(6 << 20, seed=9))

        def shown(*args):
            primary, secondary = pty.openpty()
            seen = b""
            try:
                process = subprocess.Popen([STUBPACK, *args], stdout=subprocess.DEVNULL,
                                           stderr=secondary)
                os.close(secondary)
                while True:
                    try:
                        chunk = os.read(primary, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    seen += chunk
                process.wait(timeout=300)
            finally:
                os.close(primary)
            self.assertEqual(process.returncode, 0)
            return seen

        self.assertIn(b"compressing 100%", shown(
            "build", "--stub", self.stub, "--setup-dir", self.set, "--entry", "setup.exe",
            "--out", self.out, "--preset", "0", "--block-size", "1M"))
        # Counted from both threads, it only grows.
        decoding = shown("verify", self.out, "--threads", "2")
        percents = [int(p) for p in re.findall(rb"decoding +(\d+)%", decoding)]
        self.assertEqual(percents[-1], 100)
        self.assertEqual(percents, sorted(percents))

    # --- damaged files -----------------------------------------------------

    def test_verify_and_extract_name_what_the_launcher_would_refuse(self):
        self.build("--block-size", "64K")
        with open(self.out, "rb") as f:
            good = f.read()
        info = self.inspect(self.out)
        package = info["locator"]["packageOffset"]
        crc_length = info["locator"]["crcLength"]
        table = info["setTable"]["offset"]

        def recrc(data):
            struct.pack_into("<I", data, 136, zlib.crc32(bytes(data[package:package + crc_length])))
            return bytes(data)

        flipped_block = bytearray(good)
        second = info["blocks"][1]
        flipped_block[second["offset"] + second["packedSize"] // 2] ^= 0x55
        # A path in the table made to reach for a drive; the CRC recomputed.
        colon = bytearray(good)
        names = table + 64 + 12 * 5 + 28 * len(info["blocks"])
        colon[names + 2:names + 4] = ":".encode("utf-16-le")
        # Cut short, with the locator's sizes cut too: the table sees it.
        cut = bytearray(good[:second["offset"]])
        struct.pack_into("<q", cut, 140, len(cut))
        bad_block_size = bytearray(good)
        struct.pack_into("<Q", bad_block_size, table + 16, 1000)
        cases = [
            ("a block damaged", bytes(flipped_block), "blocks",
             "block 1 at %d" % second["offset"], DAMAGED),
            ("a path with a colon", recrc(colon), "set table", "file 0 (d:ta\\cab\\data1.cab): a colon",
             DAMAGED),
            ("cut before packageEnd", bytes(cut), "set table", "the file ends before packageEnd",
             TRUNCATED),
            ("a block size below 4 KiB", recrc(bad_block_size), "set table",
             "blockSize is outside 4 KiB to 1 GiB", DAMAGED),
        ]
        for name, data, step, detail, message in cases:
            with self.subTest(name):
                path = os.path.join(self.dir, "broken.exe")
                with open(path, "wb") as f:
                    f.write(data)
                result = run("verify", path)
                self.assert_one_line_failure(result, message)
                self.assertIn("%s check fails (%s" % (step, detail), result.stderr)
                target = os.path.join(self.dir, "x")
                self.assert_one_line_failure(run("extract", path, "--out", target), message)
                self.assertFalse(os.path.exists(target))
                self.assertEqual(run("inspect", path).returncode, 0)

    def test_threads_change_the_time_only(self):
        # One thread or two: the same report, the same files, the same
        # refusal naming the lowest damaged block (two damaged blocks decoded
        # at once, the later one failing first, included), and nothing left.
        self.build("--block-size", "64K", "--preset", "1")
        with open(self.out, "rb") as f:
            good = f.read()
        blocks = self.inspect(self.out)["blocks"]
        last = len(blocks) - 1
        self.assertGreaterEqual(last, 4)

        def damaged(*where):
            data = bytearray(good)
            for index, fraction in where:
                block = blocks[index]
                data[block["offset"] + int(block["packedSize"] * fraction)] ^= 0x55
            return bytes(data)

        cases = [
            ("intact", good, None),
            ("the first block", damaged((0, 0.5)), 0),
            ("a middle block", damaged((2, 0.5)), 2),
            ("the last block", damaged((last, 0.5)), last),
            ("two blocks, the later one failing first", damaged((1, 0.95), (2, 0.02)), 1),
        ]
        path = os.path.join(self.dir, "set.exe")
        for name, data, bad in cases:
            with open(path, "wb") as f:
                f.write(data)
            seen = {}
            for threads in ("1", "2"):
                with self.subTest(name, threads=threads):
                    verify = run("verify", path, "--threads", threads)
                    target = os.path.join(self.dir, "x" + threads)
                    extract = run("extract", path, "--out", target, "--threads", threads)
                    seen[threads] = [(r.returncode, r.stdout, r.stderr) for r in (verify, extract)]
                    if bad is None:
                        self.assertEqual((verify.returncode, extract.returncode), (0, 0),
                                         verify.stderr + extract.stderr)
                        self.assertEqual(tree(target), self.files)
                        shutil.rmtree(target)
                        continue
                    detail = "blocks check fails (block %d at %d," % (bad, blocks[bad]["offset"])
                    for result in (verify, extract):
                        self.assert_one_line_failure(result, DAMAGED)
                        self.assertIn(detail, result.stderr)
                    self.assertFalse(os.path.exists(target))
            with self.subTest(name, threads="1 and 2"):
                self.assertEqual(seen["1"], seen["2"])
        for threads in ("0", "65", "two"):
            with self.subTest(threads=threads):
                self.assert_one_line_failure(run("verify", path, "--threads", threads),
                                             "--threads: ")

    # --- bad input ---------------------------------------------------------

    def test_bad_input_gets_one_line_and_leaves_nothing(self):
        def plant(what):
            def make():
                full = os.path.join(self.set, what[1])
                if what[0] == "link":
                    os.symlink("/etc/hostname", full)
                elif what[0] == "sparse":
                    with open(full, "wb") as f:
                        f.truncate(1 << 32)
                elif what[0] == "fifo":
                    os.mkfifo(full)
                else:
                    self.put(what[1], b"x")
                return full
            return make
        base = ["--stub", self.stub, "--setup-dir", self.set, "--out", self.out]
        cases = [
            ("a link", plant(("link", "data/host")), base + ["--entry", "setup.exe"],
             "set/data/host: a symbolic link; the set holds only regular files and folders"),
            ("a FIFO", plant(("fifo", "pipe")), base + ["--entry", "setup.exe"],
             "set/pipe: a FIFO (named pipe)"),
            ("a device name", plant(("file", "data/aux.log")), base + ["--entry", "setup.exe"],
             "set/data/aux.log: a Windows device name"),
            ("one name in two cases", plant(("file", "ReadMe.txt")), base + ["--entry", "setup.exe"],
             "set/ReadMe.txt and " + self.set + "/readme.txt differ only in case"),
            ("an .exe entry of 4 GiB", plant(("sparse", "big.exe")), base + ["--entry", "big.exe"],
             "Windows starts no .exe of 4 GiB or more"),
            ("a block size of 0", None, base + ["--entry", "setup.exe", "--block-size", "0"],
             "--block-size: 0 is out of range"),
            ("a missing entry", None, base + ["--entry", "nope.exe"], "the entry nope.exe is not"),
            ("a text entry", None, base + ["--entry", "readme.txt"], "neither an .exe nor an .msi"),
            ("no entry", None, base, "--setup-dir needs --entry"),
            ("an entry without a folder", None,
             ["--stub", self.stub, "--setup", self.stub, "--entry", "x.exe", "--out", self.out],
             "--entry needs --setup-dir"),
            ("both forms", None, base + ["--entry", "setup.exe", "--setup", self.stub],
             "--setup and --setup-dir exclude each other"),
            ("with a precompressed block", None,
             base + ["--entry", "setup.exe", "--precompressed-block", self.stub],
             "excludes --setup-dir"),
            ("a block size too small", None, base + ["--entry", "setup.exe", "--block-size", "4095"],
             "--block-size: 4095 is out of range"),
            ("a block size too large", None, base + ["--entry", "setup.exe", "--block-size", "2G"],
             "--block-size: 2147483648 is out of range"),
            ("a block size unreadable", None, base + ["--entry", "setup.exe", "--block-size", "1T"],
             "--block-size: size \"1T\""),
            ("no such folder", None,
             ["--stub", self.stub, "--setup-dir", os.path.join(self.dir, "nope"), "--entry",
              "setup.exe", "--out", self.out], "no such folder"),
            ("a file for a folder", None,
             ["--stub", self.stub, "--setup-dir", self.stub, "--entry", "setup.exe", "--out",
              self.out], "is not a folder"),
            ("the output inside the folder", None,
             ["--stub", self.stub, "--setup-dir", self.set, "--entry", "setup.exe", "--out",
              os.path.join(self.set, "data", "..", "out.exe")], "lies inside --setup-dir"),
            ("an .msi entry to sign", None,
             base + ["--entry", "data/product.msi", "--sign-setup", "--sign-command",
                     "cp {in} {out}"], "--sign-setup signs an .exe entry"),
        ]
        for name, prepare, args, fragment in cases:
            with self.subTest(name):
                planted = prepare() if prepare else None
                try:
                    self.assert_one_line_failure(run("build", *args), fragment)
                    self.assertEqual(self.leftovers(), [])
                finally:
                    if planted:
                        os.remove(planted)
                self.assertEqual(tree(self.set), self.files)
        empty = os.path.join(self.dir, "hollow")
        os.makedirs(os.path.join(empty, "sub"))
        self.assert_one_line_failure(
            run("build", "--setup-dir", empty, "--entry", "x.exe", "--out", self.out),
            "holds no files (empty folders are not carried)")

    @unittest.skipUnless(shutil.which("openssl") and shutil.which("osslsigncode"),
                         "openssl and osslsigncode are needed")
    def test_sign_setup_signs_an_exe_entry_only(self):
        probe = os.path.join(BUILD_WIN, "tests", "wine", "probe.exe")
        if not os.path.exists(probe):
            self.skipTest("probe.exe is not built")
        shutil.copy(probe, os.path.join(self.set, "setup.exe"))
        before = tree(self.set)
        cert = os.path.join(self.dir, "A")
        result = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                 "-keyout", cert + ".key", "-out", cert + ".pem", "-days", "2",
                                 "-subj", "/CN=stubpack file-set test"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        command = SIGN.format(cert=cert)
        self.build("--sign-setup", "--sign-command", command)
        verify = run("verify", self.out)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        self.assertIn("entry         ok: certificate table", verify.stdout)
        self.assertIn("the same signer certificate as the launcher file", verify.stdout)
        self.assertEqual(tree(self.set), before)  # the vendor's files are only read
        self.assertEqual(self.leftovers(), ["A.key", "A.pem", "out.exe"])
        info = self.inspect(self.out)
        self.assertEqual(info["setupSignature"]["state"], "ok")
        self.assertTrue(info["setupSignature"]["sameSignerAsLauncher"])
        # The entry's headers and its certificate table in different blocks,
        # decoded at once or not.
        self.build("--block-size", "4K", "--sign-setup", "--sign-command", command)
        for threads in ("1", "2"):
            with self.subTest(threads=threads):
                verify = run("verify", self.out, "--threads", threads)
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                self.assertIn("the same signer certificate as the launcher file", verify.stdout)


if __name__ == "__main__":
    unittest.main()
