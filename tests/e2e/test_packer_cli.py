# SPDX-License-Identifier: 0BSD
"""The stubpack command line: each command, and every class of bad input.

Runs the host build's stubpack (BUILD_HOST, default build/host). The stub is
BUILD_WIN/Stub64.exe when it exists, otherwise a minimal PE-shaped image made
here; nothing in these tests starts a launcher.
"""
import json
import lzma
import zlib
import os
import pty
import random
import signal
import struct
import subprocess
import time
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_HOST = os.environ.get("BUILD_HOST", os.path.join(ROOT, "build", "host"))
BUILD_WIN = os.environ.get("BUILD_WIN", os.path.join(ROOT, "build", "win"))
STUBPACK = os.path.join(BUILD_HOST, "packer", "stubpack")

DAMAGED = ("damaged-package message and ends with exit code 1620 "
           "(Application-log event 1 where no box can be shown)")
TRUNCATED = ("truncated-package message and ends with exit code 1619 "
             "(Application-log event 2 where no box can be shown)")


def minimal_stub(pe_offset=256, size=1024):
    """MZ header, PE32+ headers with 16 empty data directories and one empty
    section: the least a loader takes."""
    image = bytearray(size)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 60, pe_offset)
    image[pe_offset:pe_offset + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", image, pe_offset + 4, 0x8664, 1, 0, 0, 0, 240, 0x22)
    optional = pe_offset + 24
    struct.pack_into("<H", image, optional, 0x20B)
    struct.pack_into("<II", image, optional + 32, 0x1000, 0x200)  # alignments
    struct.pack_into("<II", image, optional + 56, 0x2000, 1024)   # SizeOfImage, SizeOfHeaders
    struct.pack_into("<I", image, optional + 108, 16)
    struct.pack_into("<8sII", image, optional + 240, b".text", 0x1000, 0x1000)
    if size > 1024:  # the rest is the section's raw data
        struct.pack_into("<II", image, optional + 240 + 16, size - 1024, 1024)
        struct.pack_into("<I", image, optional + 56, 0x1000 + (size - 1024 + 0xFFF) // 0x1000 * 0x1000)
    return bytes(image)


def setup_image(size, seed=1):
    rng = random.Random(seed)
    words = [b"MZ", b"PE\0\0", b".text", b"kernel32.dll", b"\0" * 16, b"setup"]
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.3:
            out += rng.randbytes(rng.randint(1, 40))
        else:
            out += rng.choice(words)
    return bytes(out[:size])


def raw_lzma1(data, lc=3, lp=0, pb=2, dict_size=1 << 16):
    filters = [{"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb, "dict_size": dict_size}]
    block = lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)
    props = bytes([(pb * 5 + lp) * 9 + lc]) + struct.pack("<I", dict_size)
    return block, props.hex()


def run(*args, stdin=None):
    return subprocess.run([STUBPACK, *args], capture_output=True, text=True,
                          stdin=stdin, timeout=300)


@unittest.skipUnless(os.path.exists(STUBPACK), "no stubpack at " + STUBPACK)
class PackerCli(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="stubpack-cli-")
        self.dir = self.tmp.name
        real = os.path.join(BUILD_WIN, "Stub64.exe")
        if os.path.exists(real):
            with open(real, "rb") as f:
                self.stub = self.write("stub.exe", f.read())
        else:
            self.stub = self.write("stub.exe", minimal_stub(size=8192))
        self.setup_bytes = setup_image(300_000)
        self.setup = self.write("setup.exe", self.setup_bytes)
        self.out = os.path.join(self.dir, "out.exe")

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def build(self, *extra, out=None):
        result = run("build", "--stub", self.stub, "--setup", self.setup,
                     "--out", out or self.out, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
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
        return sorted(n for n in os.listdir(self.dir)
                      if n not in ("stub.exe", "setup.exe") and not n.startswith("in-"))

    # --- commands --------------------------------------------------------

    def test_help_for_every_command(self):
        for command in ("build", "inspect", "verify", "extract", "stub"):
            with self.subTest(command=command):
                result = run(command, "--help")
                self.assertEqual(result.returncode, 0)
                self.assertIn("usage: stubpack " + command, result.stdout)
        self.assertIn("--win10-range", run("build", "--help").stdout)
        self.assertEqual(run("--help").returncode, 0)

    def test_defaults_round_trip_through_every_command(self):
        self.build()
        info = self.inspect(self.out)
        self.assertEqual(info["releases"], ["7", "8", "8.1", "10", "11", "unknown"])
        self.assertEqual(info["supportFlags"], 0x8000000000000F80)
        self.assertEqual(info["win10Range"], [1507, 9999])
        self.assertEqual(info["win11Range"], [2110, 9999])
        self.assertEqual(info["adminModeName"], "noadmin")
        self.assertEqual(info["mode"], "attached")
        self.assertEqual(info["locator"]["expectedFileSize"], os.path.getsize(self.out))
        self.assertEqual(info["locator"]["detachedFileSize"], 0)
        self.assertEqual(info["lzma"]["lc"], 3)
        self.assertEqual(info["payload"]["size"], len(self.setup_bytes))
        self.assertTrue(info["crcMatches"])
        self.assertIsNone(info["signature"])
        self.assertIn("%USER%", info["unsupportedText"]["text"])
        self.assertEqual((info["launchFlags"], info["progressWindow"]), (0, True))

        human = run("inspect", self.out)
        self.assertEqual(human.returncode, 0)
        self.assertIn("0x8000000000000F80  (7, 8, 8.1, 10, 11, unknown)", human.stdout)

        verify = run("verify", self.out)
        self.assertEqual(verify.returncode, 0, verify.stderr)
        self.assertIn("starts the setup program", verify.stdout)

        extracted = os.path.join(self.dir, "extracted.exe")
        result = run("extract", self.out, "--out", extracted)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(extracted, "rb") as f:
            self.assertEqual(f.read(), self.setup_bytes)

    def test_every_field_option_reaches_the_header(self):
        text_file = self.write("text.txt", "\ufeffSorry, %USER% is out.\r\n".encode())
        inside = self.write("in-inside.bin", b"I" * 100)
        after = self.write("in-after.bin", b"A" * 33)
        self.build("--releases", "xp,vista,10", "--win10-range", "1809-2210",
                   "--win11-range", "2209-2410", "--admin-mode", "runas",
                   "--unsupported-text-file", text_file, "--detached",
                   "--preset", "3", "--lc", "1", "--lp", "3", "--pb", "0",
                   "--dict", "256K", "--extra-inside-crc", inside,
                   "--extra-after-crc", after, "--no-progress")
        info = self.inspect(self.out)
        self.assertEqual((info["launchFlags"], info["progressWindow"]), (1, False))
        size = os.path.getsize(self.out)
        self.assertEqual(info["releases"], ["xp", "vista", "10"])
        self.assertEqual(info["win10Range"], [1809, 2210])
        self.assertEqual(info["win11Range"], [2209, 2410])
        self.assertEqual(info["adminMode"], 1)
        self.assertEqual(info["unsupportedText"]["text"], "Sorry, %USER% is out.")
        self.assertEqual(info["mode"], "detached")
        self.assertEqual(info["locator"]["detachedFileSize"], size)
        self.assertEqual((info["lzma"]["lc"], info["lzma"]["lp"], info["lzma"]["pb"]), (1, 3, 0))
        self.assertEqual(info["lzma"]["dictionarySize"], 256 * 1024)
        locator = info["locator"]
        with open(self.out, "rb") as f:
            data = f.read()
        crc_end = locator["packageOffset"] + locator["crcLength"]
        self.assertEqual(data[crc_end - 100:crc_end], b"I" * 100)
        self.assertEqual(data[crc_end:], b"A" * 33 + bytes(-(crc_end + 33) % 8))
        self.assertEqual(run("verify", self.out).returncode, 0)
        for mode, value in (("noadmin", 2), ("none", 0)):
            self.build("--admin-mode", mode)
            self.assertEqual(self.inspect(self.out)["adminMode"], value)

    def test_same_inputs_give_identical_files(self):
        # Each pair must give the same bytes; the form each gives.
        blocks = ["--block-size", "16K", "--preset", "0"]
        cases = [
            ("the same options twice", ["--unsupported-text", "x %USER%"],
             ["--unsupported-text", "x %USER%"], "one program"),
            # A program within one block keeps the form and bytes it always had.
            ("one block, or packed whole", [], ["--block-size", "0"], "one program"),
            ("in blocks, on one thread or two", blocks + ["--threads", "1"],
             blocks + ["--threads", "2"], "fileSet"),
        ]
        for name, first_args, second_args, form in cases:
            with self.subTest(name):
                first = self.build(*first_args, out=os.path.join(self.dir, "a.exe"))
                second = self.build(*second_args, out=os.path.join(self.dir, "b.exe"))
                with open(first, "rb") as a, open(second, "rb") as b:
                    self.assertEqual(a.read(), b.read())
                info = self.inspect(first)
                self.assertEqual(info.get("form", "one program"), form)
                if form == "fileSet":
                    # The program, stored under its own name, named after
                    # the launcher when it runs.
                    self.assertEqual(info["setTable"]["flags"], 1)
                    self.assertEqual(info["files"], [{"path": "setup.exe",
                                                      "size": len(self.setup_bytes)}])
                    self.assertEqual(len(info["blocks"]), -(-len(self.setup_bytes) // 16384))
                    self.assertIn("starts the entry setup.exe under the launcher's own file name",
                                  run("verify", first).stdout)
                    extracted = os.path.join(self.dir, "extracted")
                    result = run("extract", first, "--out", extracted)
                    self.assertEqual((result.returncode, result.stderr), (0, ""))
                    with open(os.path.join(extracted, "setup.exe"), "rb") as f:
                        self.assertEqual(f.read(), self.setup_bytes)

    def test_precompressed_block_is_judged_by_the_launchers_decoder(self):
        data = setup_image(5000, seed=3)
        block, props = raw_lzma1(data)
        block_path = self.write("in-block.lzma", block)
        cases = [
            (len(data), True, None),
            (len(data) + 1, False, DAMAGED),
            (-1, False, DAMAGED),
        ]
        for size, ok, message in cases:
            with self.subTest(size=size):
                out = os.path.join(self.dir, "pre.exe")
                result = run("build", "--stub", self.stub, "--precompressed-block", block_path,
                             "--lzma-props", props, "--payload-size", str(size), "--out", out)
                self.assertEqual(result.returncode, 0, result.stderr)
                verify = run("verify", out)
                self.assertEqual(verify.returncode == 0, ok, verify.stdout + verify.stderr)
                if message:
                    self.assert_one_line_failure(verify, message)
                    self.assertIn("payload", verify.stderr)
        # lc + lp above 4: stored as given, refused by the launcher's liblzma.
        block, props = raw_lzma1(data, lc=4, lp=0)
        props = "%02x" % ((2 * 5 + 1) * 9 + 4) + props[2:]
        out = os.path.join(self.dir, "lclp.exe")
        self.assertEqual(run("build", "--stub", self.stub, "--precompressed-block",
                             self.write("in-b2", block), "--lzma-props", props,
                             "--payload-size", str(len(data)), "--out", out).returncode, 0)
        self.assert_one_line_failure(run("verify", out), DAMAGED)

    def test_verify_reports_what_the_launcher_would_show(self):
        self.build()
        with open(self.out, "rb") as f:
            good = f.read()
        info = self.inspect(self.out)
        package = info["locator"]["packageOffset"]
        text_at = info["unsupportedText"]["offset"]
        flipped = bytearray(good)
        flipped[package + 200] ^= 1
        empty_locator = bytearray(good)
        empty_locator[128:132] = b"\0\0\0\0"
        bad_text = bytearray(good)
        struct.pack_into("<I", bad_text, package + 68, len(good))  # text past the end
        struct.pack_into("<I", bad_text, 136,
                         zlib.crc32(bytes(bad_text[package:package + info["locator"]["crcLength"]])))
        pe = struct.unpack_from("<I", good, 60)[0]
        many_sections = bytearray(good)
        struct.pack_into("<H", many_sections, pe + 6, 0xFFFF)
        refused = "Windows refuses to start it"
        cases = [
            ("65535 sections", bytes(many_sections), "image", refused),
            ("cut inside the stub", good[:1024], "image", refused),
            ("byte flipped in the CRC region", bytes(flipped), "checksum", DAMAGED),
            ("cut short", good[:-1], "file size", TRUNCATED),
            ("no package", bytes(empty_locator), "locator", DAMAGED),
            ("shorter than the locator", good[:100], "image", refused),
            ("refusal text outside", bytes(bad_text), "refusal text", DAMAGED),
        ]
        self.assertNotEqual(text_at, len(good))
        for name, data, step, message in cases:
            with self.subTest(name):
                path = self.write("in-broken.exe", data)
                result = run("verify", path)
                self.assert_one_line_failure(result, message)
                self.assertIn(step + " check fails", result.stderr)
                extracted = os.path.join(self.dir, "x.exe")
                self.assert_one_line_failure(run("extract", path, "--out", extracted), message)
                self.assertFalse(os.path.exists(extracted))
        # Bytes after the package (a signature, say) change nothing.
        longer = self.write("in-longer.exe", good + b"\0" * 8 + b"S" * 100)
        self.assertEqual(run("verify", longer).returncode, 0)

    def test_progress_only_on_a_terminal(self):
        self.write("setup.exe", setup_image(6 << 20, seed=9))
        result = run("build", "--stub", self.stub, "--setup", self.setup, "--out",
                     self.out, "--preset", "0")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        primary, secondary = pty.openpty()
        shown = b""
        try:
            # Read while it runs: a full terminal buffer would block stubpack.
            process = subprocess.Popen(
                [STUBPACK, "build", "--stub", self.stub, "--setup", self.setup,
                 "--out", self.out, "--preset", "0"],
                stdout=subprocess.DEVNULL, stderr=secondary)
            os.close(secondary)
            while True:
                try:
                    chunk = os.read(primary, 4096)
                except OSError:  # EIO: the last writer has gone
                    break
                if not chunk:
                    break
                shown += chunk
            process.wait(timeout=300)
        finally:
            os.close(primary)
        self.assertEqual(process.returncode, 0)
        self.assertIn(b"compressing 100%", shown)

    # --- bad input -------------------------------------------------------

    def test_bad_input_gets_one_line_and_leaves_no_file(self):
        not_pe = self.write("in-notpe.exe", b"just text, no image" * 10)
        pe_at_128 = self.write("in-pe128.exe", minimal_stub(pe_offset=128))
        long_text = self.write("in-long.txt", ("x" * 65536).encode())
        bad_utf8 = self.write("in-bad.txt", b"\xff\xfe")
        def sparse(name, size):  # costs no disk space, and is never read
            path = os.path.join(self.dir, name)
            with open(path, "wb") as f:
                f.truncate(size)
            return path
        huge = sparse("in-huge.exe", 1 << 31)
        too_large = sparse("in-4gib.exe", 1 << 32)
        not_exe = sparse("in-large.bin", 65 << 20)
        empty = self.write("in-empty.exe", b"")
        with open(self.stub, "rb") as f:
            stub = f.read()
        many_sections = bytearray(stub)
        struct.pack_into("<H", many_sections, struct.unpack_from("<I", stub, 60)[0] + 6, 0xFFFF)
        launcher = self.build(out=os.path.join(self.dir, "in-launcher.exe"))
        base = ["--stub", self.stub, "--setup", self.setup, "--out", self.out]
        # Stubs Windows would not load (error 193): the launcher would never run.
        for name, data, fragment in [
            ("stub cut to 1024 bytes", stub[:1024], "past the end of the file (1024 bytes)"),
            ("stub cut in half", stub[:len(stub) // 2], "past the end of the file"),
            ("stub with 65535 sections", bytes(many_sections), "(65535 sections) ends at byte"),
        ]:
            with self.subTest(name):
                path = self.write("in-bad-stub.exe", data)
                result = run("build", "--stub", path, "--setup", self.setup, "--out", self.out)
                self.assert_one_line_failure(result, "Windows would refuse to load the stub: ")
                self.assertIn(fragment, result.stderr)
                self.assertEqual(self.leftovers(), [], name)
        cases = [
            ("missing stub", ["--stub", "nope.exe", "--setup", self.setup, "--out", self.out], "no such file"),
            ("missing setup", ["--stub", self.stub, "--setup", "nope.exe", "--out", self.out], "no such file"),
            ("stub not PE", ["--stub", not_pe, "--setup", self.setup, "--out", self.out], "not a PE image"),
            ("PE header at 128", ["--stub", pe_at_128, "--setup", self.setup, "--out", self.out], "152 or later"),
            ("launcher file as stub", ["--stub", launcher, "--setup", self.setup, "--out", self.out],
             "already carries a package (it is a launcher file); give the bare stub, Stub64.exe"),
            ("setup of 2 GiB packed whole", ["--stub", self.stub, "--setup", huge, "--block-size", "0",
                                             "--out", self.out], "smaller than 2 GiB"),
            ("setup of 4 GiB", ["--stub", self.stub, "--setup", too_large, "--out", self.out],
             "Windows starts no .exe of 4 GiB or more"),
            ("setup in blocks not named .exe", ["--stub", self.stub, "--setup", not_exe,
                                                "--out", self.out], "must be named *.exe"),
            ("threads out of range", base + ["--threads", "65"], "--threads: 65 is out of range"),
            ("empty setup", ["--stub", self.stub, "--setup", empty, "--out", self.out], "is empty"),
            ("text too long", base + ["--unsupported-text-file", long_text], "at most 65535"),
            ("text not UTF-8", base + ["--unsupported-text-file", bad_utf8], "not valid UTF-8"),
            ("impossible range", base + ["--win10-range", "2000-1999"], "minimum exceeds"),
            ("range beyond 65535", base + ["--win11-range", "1-70000"], "65535"),
            ("malformed range", base + ["--win11-range", "2110"], "MIN-MAX"),
            ("unknown release", base + ["--releases", "7,vista2"], "vista2"),
            ("bad admin mode", base + ["--admin-mode", "root"], "root"),
            ("lc + lp above 4", base + ["--lc", "3", "--lp", "2"], "lc + lp"),
            ("preset out of range", base + ["--preset", "10"], "--preset"),
            ("bad dictionary", base + ["--dict", "12Q"], "--dict"),
            ("tiny dictionary", base + ["--dict", "1K"], "dictionary size"),
            ("both texts", base + ["--unsupported-text", "a", "--unsupported-text-file", long_text], "exclude"),
            ("setup and block", base + ["--precompressed-block", self.setup, "--lzma-props", "5d00001000",
                                        "--payload-size", "1"], "exclude"),
            ("block without props", ["--stub", self.stub, "--out", self.out,
                                     "--precompressed-block", self.setup], "--lzma-props"),
            ("props without block", base + ["--lzma-props", "5d00001000"], "needs --precompressed-block"),
            ("bad props", ["--stub", self.stub, "--out", self.out, "--precompressed-block", self.setup,
                           "--lzma-props", "5d00", "--payload-size", "3"], "--lzma-props"),
            ("unknown option", base + ["--colour"], "unknown option --colour"),
            ("missing value", base + ["--preset"], "--preset needs a value"),
            ("given twice", base + ["--preset", "1", "--preset", "2"], "more than once"),
            ("stray argument", base + ["extra"], "unexpected argument"),
            ("no output", ["--stub", self.stub, "--setup", self.setup], "--out"),
            ("output folder missing", ["--stub", self.stub, "--setup", self.setup,
                                       "--out", os.path.join(self.dir, "no", "out.exe")], "cannot write"),
        ]
        for name, args, fragment in cases:
            with self.subTest(name):
                self.assert_one_line_failure(run("build", *args), fragment)
                self.assertEqual(self.leftovers(), [], name)
        for args, fragment in [
            (["frobnicate"], "unknown command"),
            (["inspect"], "needs a FILE"),
            (["inspect", not_pe], "not a launcher file"),
            (["inspect", STUBPACK], "not a launcher file: not a PE image"),  # an ELF program
            (["inspect", "nope.exe"], "no such file"),
            (["verify", "nope.exe"], "no such file"),
            (["verify", self.dir], "not a regular file"),
            (["extract", self.stub], "--out"),
            (["verify", "a", "b"], "one FILE"),
            (["stub"], "--out"),
            (["--version", "build"], "takes no arguments"),
        ]:
            with self.subTest(args=args):
                self.assert_one_line_failure(run(*args), fragment)
        self.assertEqual(self.leftovers(), [])

    def test_an_output_that_is_an_input_is_refused(self):
        text = self.write("text.txt", b"Not on %USER%.")
        sub = os.path.join(self.dir, "sub")
        os.mkdir(sub)
        os.link(self.setup, os.path.join(self.dir, "hard.exe"))
        launcher = self.build(out=os.path.join(self.dir, "launcher.exe"))
        odd = lambda name: os.path.join(sub, "..", ".", name)  # noqa: E731
        build = ["build", "--stub", self.stub, "--setup", self.setup,
                 "--unsupported-text-file", text, "--out"]
        cases = [
            ("--setup", build + [self.setup], self.setup),
            ("--stub, spelt otherwise", build + [odd("stub.exe")], self.stub),
            ("--unsupported-text-file", build + [odd("text.txt")], text),
            ("a hard link to --setup", build + [os.path.join(self.dir, "hard.exe")], self.setup),
            ("extract over its input", ["extract", launcher, "--out", odd("launcher.exe")], launcher),
        ]
        for name, args, victim in cases:
            with self.subTest(name):
                with open(victim, "rb") as f:
                    before = f.read()
                self.assert_one_line_failure(run(*args), "is the same file as")
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), before)
                self.assertFalse([n for n in os.listdir(self.dir) if n.endswith(".tmp")])

    def test_interrupted_build_leaves_no_temporary(self):
        self.write("setup.exe", random.Random(5).randbytes(24 << 20))  # slow to compress
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                process = subprocess.Popen([STUBPACK, "build", "--stub", self.stub, "--setup",
                                            self.setup, "--out", self.out],
                                           stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                temporaries = []
                while not temporaries and time.monotonic() < deadline and process.poll() is None:
                    temporaries = [n for n in os.listdir(self.dir) if n.endswith(".tmp")]
                    time.sleep(0.02)
                self.assertTrue(temporaries, "no temporary appeared")
                self.assertRegex(temporaries[0], r"^out\.exe\.stubpack-[0-9a-f]{16}\.tmp$")
                time.sleep(0.3)  # well into the compression
                process.send_signal(sig)
                self.assertEqual(process.wait(timeout=60), -sig)
                self.assertEqual(self.leftovers(), [])

    def test_existing_output_survives_a_failed_build(self):
        self.write("out.exe", b"previous")
        self.assert_one_line_failure(
            run("build", "--stub", self.setup, "--setup", self.setup, "--out", self.out),
            "not a PE image")
        with open(self.out, "rb") as f:
            self.assertEqual(f.read(), b"previous")


if __name__ == "__main__":
    unittest.main()
