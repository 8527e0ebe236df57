# SPDX-License-Identifier: 0BSD
"""The setup program's own signature, inside the launcher file's.

Two throwaway certificates (A, B) from openssl sign with osslsigncode. One
table row per case: how the setup program (inner) and the launcher file
(outer) are signed, and what build, verify and inspect must say. Under
Wine, a launcher built with --sign-setup runs its setup program from a copy
that carries the certificate table.
"""
import hashlib
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import launcher_files as lf
import winelib

STUBPACK = Path(os.environ.get("BUILD_HOST", "build/host")) / "packer" / "stubpack"
TOOLS = [shutil.which(name) for name in ("openssl", "osslsigncode")]
# A fixed signing time without a timestamp server: signatures repeat.
SIGN = "osslsigncode sign -certs {cert}.pem -key {cert}.key -h sha256 -time 1767225600 -in {{in}} -out {{out}}"

# inner, outer, stubpack build options, what verify's "setup program" line
# says (None: verify fails), inspect's sameSignerAsLauncher, a build warning.
ROWS = [
    ("unsigned", None, [], "none: no certificate table", None, False),
    ("unsigned", "A", [], "none: no certificate table", None, True),
    ("A", "A", [], "the same signer certificate", True, False),
    ("A", "B", [], "a different signer certificate", False, False),
    ("unsigned", "A", ["--sign-setup"], "the same signer certificate", True, False),
    ("A", "B", ["--sign-setup", "--resign-setup"], "the same signer certificate", True, False),
    # A program larger than a block: the set's one file, signed the same way.
    ("unsigned", "A", ["--sign-setup", "--block-size", "16K"], "the same signer certificate", True,
     False),
    ("corrupted A", "A", [], None, None, False),
]


def run(*args):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=300)


def certificate_table(data):
    """(offset, size) from a PE32+ image's data directory 4."""
    pe = struct.unpack_from("<I", data, 60)[0]
    return struct.unpack_from("<II", data, pe + 24 + 112 + 4 * 8)


def signing_fields_cleared(data):
    """DATA with the two fields signing sets, CheckSum and directory 4, zeroed."""
    data = bytearray(data)
    pe = struct.unpack_from("<I", data, 60)[0]
    data[pe + 24 + 64:pe + 24 + 68] = bytes(4)
    data[pe + 24 + 112 + 32:pe + 24 + 112 + 40] = bytes(8)
    return bytes(data)


@unittest.skipUnless(all(TOOLS), "openssl and osslsigncode are needed")
@unittest.skipUnless(STUBPACK.exists(), "no stubpack at %s" % STUBPACK)
class SetupSigning(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if winelib.probe_exe() is None:
            raise unittest.SkipTest("probe.exe, the setup program, is not built")
        cls.tmp = tempfile.TemporaryDirectory(prefix="setup-signing-")
        cls.dir = Path(cls.tmp.name)
        for name in "AB":
            result = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                         "-keyout", cls.dir / (name + ".key"), "-out", cls.dir / (name + ".pem"),
                         "-days", "2", "-subj", "/CN=stubpack test vendor " + name)
            assert result.returncode == 0, result.stderr
        cls.probe = lf.probe_bytes()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def sign_command(self, cert):
        return SIGN.format(cert=self.dir / cert)

    def inner(self, kind, folder):
        """The setup program as the vendor hands it over."""
        path = folder / "vendor-setup.exe"
        path.write_bytes(self.probe)
        if kind == "unsigned":
            return path
        signed = folder / "vendor-signed.exe"
        result = run(*self.sign_command("A").replace("{in}", str(path))
                     .replace("{out}", str(signed)).split())
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        if kind == "corrupted A":
            data = bytearray(signed.read_bytes())
            offset, _ = certificate_table(data)
            data[offset + 6] = 1  # WIN_CERTIFICATE type: X.509, not PKCS#7
            signed.write_bytes(data)
        return signed

    def test_inner_and_outer_signatures(self):
        for inner, outer, options, setup_line, same, warns in ROWS:
            with self.subTest(inner=inner, outer=outer, options=options):
                folder = Path(tempfile.mkdtemp(dir=self.dir))
                setup = self.inner(inner, folder)
                vendor_digest = hashlib.sha256(setup.read_bytes()).hexdigest()
                out = folder / "out" / "MyApp-Setup.exe"
                out.parent.mkdir()
                args = ["build", "--setup", setup, "--out", out]
                if outer:
                    args += ["--sign-command", self.sign_command(outer)]
                built = run(STUBPACK, *args, *options)
                if setup_line is None:
                    self.check_broken_inner(built, setup, out)
                    continue
                self.assertEqual(built.returncode, 0, built.stderr)
                warnings = [line for line in built.stderr.splitlines() if line]
                self.assertEqual(len(warnings), 1 if warns else 0, built.stderr)
                if warns:
                    self.assertIn("stubpack: warning:", warnings[0])
                    self.assertIn('"Unknown publisher"', warnings[0])
                # The vendor's file is never changed, and nothing but OUT is left.
                self.assertEqual(hashlib.sha256(setup.read_bytes()).hexdigest(), vendor_digest)
                self.assertEqual(os.listdir(out.parent), [out.name])

                verified = run(STUBPACK, "verify", out)
                self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                lines = verified.stdout.splitlines()
                self.assertIn("signature     " + ("ok:" if outer else "none"), verified.stdout)
                blocks = "--block-size" in options
                setup_lines = [line for line in lines
                               if line.startswith("entry " if blocks else "setup program ")]
                self.assertEqual(len(setup_lines), 1, verified.stdout)
                self.assertIn(setup_line, setup_lines[0])
                info = json.loads(run(STUBPACK, "inspect", "--json", out).stdout)
                self.assertEqual(info["setupSignature"]["state"], "none" if same is None else "ok")
                self.assertEqual(info["setupSignature"]["sameSignerAsLauncher"], same)
                if same is not None:
                    self.check_carried_signature(out, folder, "A" if "--sign-setup" not in
                                                 options else outer, setup.name if blocks else None)

    def test_termination_while_compressing_leaves_nothing(self):
        # The signed copy waits alone in its private folder while it is
        # compressed; SIGTERM then takes the folder along.
        folder = Path(tempfile.mkdtemp(dir=self.dir))
        setup = folder / "big-setup.exe"
        setup.write_bytes(self.probe + random.Random(3).randbytes(24 << 20))
        out = folder / "out" / "x.exe"
        out.parent.mkdir()
        proc = subprocess.Popen([str(a) for a in (
            STUBPACK, "build", "--setup", setup, "--out", out, "--sign-setup",
            "--sign-command", self.sign_command("A"))], stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 120
        while proc.poll() is None and time.monotonic() < deadline:
            if [p.name for p in out.parent.glob(".stubpack-sign-*/*")] == ["signed.exe"]:
                break
            time.sleep(0.02)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=60), -signal.SIGTERM)
        self.assertEqual(os.listdir(out.parent), [])

    def check_carried_signature(self, launcher, folder, signer, name_in_set=None):
        """The program the launcher carries (in a set, under NAME_IN_SET)
        verifies as signed by SIGNER."""
        program = folder / "extracted.exe"
        result = run(STUBPACK, "extract", launcher, "--out", program)
        self.assertEqual(result.returncode, 0, result.stderr)
        if name_in_set:
            program = program / name_in_set
        result = run("osslsigncode", "verify", "-CAfile", self.dir / (signer + ".pem"),
                     "-in", program)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        offset, size = certificate_table(program.read_bytes())
        self.assertEqual(offset + size, program.stat().st_size)

    def check_broken_inner(self, built, setup, out):
        """build refuses a setup program whose table Windows would not take;
        packed anyway (the CRC made to fit) and signed outside, verify fails
        with one line."""
        self.assertEqual(built.returncode, 1)
        self.assertEqual(len(built.stderr.splitlines()), 1, built.stderr)
        self.assertIn("signature block is broken", built.stderr)
        self.assertFalse(out.exists())
        unsigned = out.with_name("unsigned.exe")
        unsigned.write_bytes(lf.build(setup.read_bytes()).data)
        result = run(*self.sign_command("A").replace("{in}", str(unsigned))
                     .replace("{out}", str(out)).split())
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        verified = run(STUBPACK, "verify", out)
        self.assertEqual(verified.returncode, 1)
        self.assertEqual(len(verified.stderr.splitlines()), 1, verified.stderr)
        self.assertIn("the setup program's signature block is broken", verified.stderr)
        self.assertIn("setup program FAILED:", verified.stdout)


class SignedSetupUnderWine(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        if not all(TOOLS) or not STUBPACK.exists():
            raise unittest.SkipTest("needs openssl, osslsigncode and stubpack")
        lf.require_wine()

    def test_signed_copy_runs_and_carries_the_table(self):
        key, cert = self.dir / "A.key", self.dir / "A.pem"
        result = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-out", cert, "-days", "2", "-subj", "/CN=stubpack test vendor")
        self.assertEqual(result.returncode, 0, result.stderr)
        setup = self.dir / "vendor-setup.exe"
        setup.write_bytes(lf.probe_bytes())
        built = self.dir / "built.exe"
        command = SIGN.format(cert=self.dir / "A")
        result = run(STUBPACK, "build", "--setup", setup, "--out", built, "--detached",
                     "--sign-command", command, "--sign-setup")
        self.assertEqual(result.returncode, 0, result.stderr)
        # Detached: the copy stays behind to be read.
        report = self.assert_setup_ran(self.run_launcher(built.read_bytes()), wait_s=30)
        copy = self.assert_private_copy(report["module_path"], self.tmp)
        self.assertEqual(copy, self.left_copy())
        data = copy.read_bytes()
        self.assertEqual(report["module_size"], len(data))
        offset, size = certificate_table(data)
        self.assertEqual((offset, offset + size), (len(lf.probe_bytes()), len(data)))
        self.assertEqual(signing_fields_cleared(data[:offset]),
                         signing_fields_cleared(lf.probe_bytes()))
        result = run("osslsigncode", "verify", "-CAfile", cert, "-in", copy)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
