# SPDX-License-Identifier: 0BSD
"""A launcher file signed with Authenticode after stubpack built it.

Makes a throwaway key and self-signed certificate with openssl, signs with
osslsigncode, and checks that the signature verifies (against that
certificate as the only trusted root), that stubpack still verifies the
package and reports the certificate table, and that the signed launcher
still starts its setup program under Wine.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_packer_cli import BUILD_WIN, STUBPACK, minimal_stub, setup_image  # noqa: E402

TOOLS = [shutil.which(name) for name in ("openssl", "osslsigncode")]


def pe_checksum_field(data):
    pe = struct.unpack_from("<I", data, 60)[0]
    return pe + 24 + 64


def reference_pe_checksum(data):
    """16-bit words, end-around carry, CheckSum field counted as zero, plus
    the length: the definition Windows' image helper uses."""
    at = pe_checksum_field(data)
    padded = data + b"\0" * (len(data) % 2)
    total = sum(struct.unpack_from("<%dH" % (len(padded) // 2), padded))
    total -= struct.unpack_from("<H", padded, at)[0] + struct.unpack_from("<H", padded, at + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=300)


@unittest.skipUnless(all(TOOLS), "openssl and osslsigncode are needed")
@unittest.skipUnless(os.path.exists(STUBPACK), "no stubpack at " + STUBPACK)
class SignedLauncher(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="stubpack-sign-")
        d = cls.dir = cls.tmp.name
        real_stub = os.path.join(BUILD_WIN, "Stub64.exe")
        probe = os.path.join(BUILD_WIN, "tests", "wine", "probe.exe")
        cls.real = os.path.exists(real_stub) and os.path.exists(probe)
        cls.stub = os.path.join(d, "stub.exe")
        cls.setup = os.path.join(d, "setup.exe")
        if cls.real:
            shutil.copy(real_stub, cls.stub)
            shutil.copy(probe, cls.setup)
        else:
            with open(cls.stub, "wb") as f:
                f.write(minimal_stub())
            with open(cls.setup, "wb") as f:
                f.write(setup_image(200_000))
        cls.unsigned = os.path.join(d, "launcher.exe")
        cls.signed = os.path.join(d, "signed.exe")
        cls.key = os.path.join(d, "key.pem")
        cls.cert = os.path.join(d, "cert.pem")
        result = run(STUBPACK, "build", "--stub", cls.stub, "--setup", cls.setup,
                     "--out", cls.unsigned)
        assert result.returncode == 0, result.stderr
        result = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                     "-keyout", cls.key, "-out", cls.cert, "-days", "2",
                     "-subj", "/CN=stubpack signing test")
        assert result.returncode == 0, result.stderr
        result = run("osslsigncode", "sign", "-certs", cls.cert, "-key", cls.key,
                     "-h", "sha256", "-in", cls.unsigned, "-out", cls.signed)
        assert result.returncode == 0, result.stdout + result.stderr

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_unsigned_file_has_a_correct_pe_checksum(self):
        # Compared with the definition, not with osslsigncode's "Calculated
        # PE checksum": osslsigncode 2.9 folds its 32-bit sum to 16 bits
        # once and drops the carry that fold can produce, so it reports one
        # less than Windows' value for some files.
        data = self.read(self.unsigned)
        stored = struct.unpack_from("<I", data, pe_checksum_field(data))[0]
        self.assertEqual(stored, reference_pe_checksum(data))
        self.assertNotEqual(stored, 0)

    def test_signature_verifies(self):
        result = run("osslsigncode", "verify", "-CAfile", self.cert, "-in", self.signed)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("Succeeded", output)
        digests = [line.split(":", 1)[1].strip() for line in output.splitlines()
                   if line.startswith(("Current message digest", "Calculated message digest"))]
        self.assertEqual(len(digests), 2, output)
        self.assertEqual(digests[0], digests[1])

    def test_package_survives_signing(self):
        unsigned, signed = self.read(self.unsigned), self.read(self.signed)
        # Everything but the PE checksum and certificate-table entry is kept,
        # and the package comes first, untouched.
        self.assertGreater(len(signed), len(unsigned))
        self.assertEqual(signed[128:152], unsigned[128:152])
        pe = struct.unpack_from("<I", unsigned, 60)[0]
        self.assertEqual(signed[pe + 24 + 68:pe + 24 + 144], unsigned[pe + 24 + 68:pe + 24 + 144])
        result = run(STUBPACK, "inspect", "--json", self.signed)
        self.assertEqual(result.returncode, 0, result.stderr)
        info = json.loads(result.stdout)
        package = info["locator"]["packageOffset"]
        self.assertEqual(signed[package:len(unsigned)], unsigned[package:])

        result = run(STUBPACK, "verify", self.signed)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        signature = info["signature"]
        self.assertIsNotNone(signature)
        self.assertTrue(signature["inFile"])
        self.assertTrue(signature["afterPackage"])
        self.assertEqual(signature["offset"] % 8, 0)
        self.assertGreaterEqual(signature["offset"], len(unsigned))
        self.assertEqual(signature["offset"] + signature["size"], len(signed))
        human = run(STUBPACK, "inspect", self.signed).stdout
        self.assertIn("certificate table   offset %d" % signature["offset"], human)

    def test_signed_launcher_starts_its_setup_program(self):
        if not self.real:
            self.skipTest("needs Stub64.exe and probe.exe in " + BUILD_WIN)
        try:
            import winelib
        except ImportError:
            self.skipTest("tests/e2e/winelib.py is not available")
        if not winelib.wine_available() or winelib.harness_exe() is None:
            self.skipTest("wine or harness.exe is not available")
        winelib.ensure_prefix()
        winelib.start_wineserver()
        report_path = os.path.join(self.dir, "probe-report.json")
        result = winelib.run_launcher(
            self.signed, env={"PROBE_REPORT": winelib.to_windows_path(report_path)})
        self.assertEqual(result["boxes"], [])
        self.assertEqual(result["exit_code"], 0)
        self.assertFalse(result["timed_out"])
        with open(report_path, encoding="utf-8") as f:
            report = json.load(f)
        self.assertTrue(report["finished"])
        self.assertIn(winelib.to_windows_path(self.signed), report["command_line"])


if __name__ == "__main__":
    unittest.main()
