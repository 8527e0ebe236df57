# SPDX-License-Identifier: 0BSD
"""Branded launcher files: icon and version information set by stubpack,
read back the way Explorer does (brandcheck.exe under Wine), signed as the
last step of the build, and the same bytes from the Linux and the Windows
packer.

The PE structure is checked here with a reader of its own, not stubpack's:
the manifest and the relocations keep their bytes, the headers stay in
place, the sizes and the checksum follow the grown resource section.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import winelib  # noqa: E402
from test_packer_signing import reference_pe_checksum  # noqa: E402

STUBPACK = str(winelib.STUBPACK)
WINDOWS_STUBPACK = winelib.BUILD_WIN / "packer" / "stubpack.exe"
BRANDCHECK = winelib.BUILD_WIN / "tests" / "wine" / "brandcheck.exe"
STUB = winelib.STUB
SIGNING_TOOLS = all(shutil.which(t) for t in ("openssl", "osslsigncode"))

STRINGS = {
    "CompanyName": "Contoso Ltd.",
    "FileDescription": "Contoso Writer – Setup",
    "LegalCopyright": "© 2026 Contoso Ltd.",
    "ProductName": "Contoso Writer",
    "OriginalFilename": "ContosoWriterSetup.exe",
}
OPTIONS = ["--file-version", "4.2.0.1234", "--product-version", "4.2.0.0",
           "--company", STRINGS["CompanyName"], "--product", STRINGS["ProductName"],
           "--description", STRINGS["FileDescription"], "--copyright", STRINGS["LegalCopyright"]]
# (side, bits per pixel, PNG): what the .ico holds and Explorer must find.
ICON_IMAGES = [(256, 32, True), (48, 32, False), (32, 8, False), (16, 4, False)]


def png_image(side):
    rows = b"".join(
        b"\0" + b"".join(bytes((x * 7 & 255, y * 5 & 255, 128, 255)) for x in range(side))
        for y in range(side))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def dib_image(side, bits):
    colours = 1 << bits if bits <= 8 else 0
    header = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", i * 255 // (colours - 1), 0, 0, 0)
                       for i in range(colours))
    xor = (side * bits + 31) // 32 * 4 * side
    mask = (side + 31) // 32 * 4 * side
    return header + palette + bytes(i * 3 & 255 for i in range(xor)) + bytes(mask)


def icon_file(images):
    """An .ico whose directory entries say 0 where tools often do."""
    blobs = [png_image(s) if png else dib_image(s, b) for s, b, png in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    at = 6 + 16 * len(blobs)
    for (side, bits, png), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", side & 255, side & 255, 0, 0, 0 if png else 1,
                           0 if png else bits, len(blob), at)
        at += len(blob)
    return out + b"".join(blobs)


class Pe:
    """Just enough of a PE reader: sections, directories, resources."""

    def __init__(self, data):
        self.data = data
        self.pe = struct.unpack_from("<I", data, 60)[0]
        count, self.opt_size = struct.unpack_from("<H", data, self.pe + 6)[0], \
            struct.unpack_from("<H", data, self.pe + 20)[0]
        self.opt = self.pe + 24
        table = self.opt + self.opt_size
        self.sections = []
        for i in range(count):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vsize, va, rsize, rptr))

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.opt + 112 + 8 * index)

    def section(self, name):
        return next(s for s in self.sections if s[0] == name)

    def bytes_at_rva(self, rva, size):
        for _, vsize, va, rsize, rptr in self.sections:
            if va <= rva and rva + size <= va + max(vsize, rsize):
                return self.data[rptr + rva - va:rptr + rva - va + size]
        raise ValueError("RVA 0x%x outside the sections" % rva)

    def resources(self):
        """{(type, name, language): data} for the three-level tree."""
        rva, size = self.directory(2)
        base = self.bytes_at_rva(rva, size)
        found = {}

        def walk(offset, path):
            named, ids = struct.unpack_from("<HH", base, offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", base, offset + 16 + 8 * i)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (key,))
                else:
                    data_rva, data_size = struct.unpack_from("<II", base, target)
                    found[path + (key,)] = self.bytes_at_rva(data_rva, data_size)
        walk(0, ())
        return found


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=300, **kw)


@unittest.skipUnless(os.path.exists(STUBPACK) and STUB.is_file(), "needs stubpack and Stub64.exe")
class BrandingInput(unittest.TestCase):
    """Every bad input: one line, exit code 1, no output file."""

    def test_bad_input_is_refused_with_one_line(self):
        folder = Path(tempfile.mkdtemp(prefix="brand-bad-"))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        good = icon_file(ICON_IMAGES[1:2])

        def ico(name, data):
            (folder / name).write_bytes(data)
            return str(folder / name)
        entry_at = 6
        cases = [
            (["--icon", ico("text.ico", b"just some text, not an icon")], "is not an icon file"),
            (["--icon", ico("cursor.ico", b"\0\0\2\0" + good[4:])], "is not an icon file"),
            (["--icon", ico("empty.ico", struct.pack("<HHH", 0, 1, 0))], "holds no images"),
            (["--icon", ico("cut.ico", good[:-10])], "image 1"),
            (["--icon", ico("outside.ico", good[:entry_at + 12] + struct.pack("<I", 1 << 20)
                            + good[entry_at + 16:])], "lies outside the file"),
            (["--icon", str(folder / "missing.ico")], "missing.ico"),
            (["--icon", ico("many.ico", icon_file([(16, 4, False)] * 129))], "at most 128"),
            # Three entries, one bitmap: it would be stored three times.
            (["--icon", ico("shared.ico", struct.pack("<HHH", 0, 1, 3) + (
                good[6:18] + struct.pack("<I", 6 + 3 * 16)) * 3 + good[22:])],
             "image 2 reuses bytes"),
            (["--icon", ico("no-iend.ico", struct.pack("<HHHBBBBHHII", 0, 1, 1, 16, 16, 0, 0, 0,
                                                       0, len(png_image(16)) - 12, 22)
                            + png_image(16)[:-12])],
             "image 1 is a PNG image cut short before its IEND"),
            (["--file-version", "1.2.3"], "--file-version"),
            (["--product-version", "1.2.3.65536"], "--product-version"),
            (["--file-version", "1.2.3.4.5"], "four numbers"),
            (["--file-version", "1.-2.3.4"], "four numbers"),
            (["--company", "x" * 40000], "--company"),
            (["--description", ""], "--description"),
            (["--sign-command", "osslsigncode sign -out {out}"], "{in}"),
            (["--sign-command", "false {in} {out}"], "exit code 1"),
            (["--sign-command", "cp {in} {out}"], "carries no signature"),
        ]
        if os.name != "nt":
            cases.append((["--sign-command", "signtool sign {in}"], "{out}"))
        for options, fragment in cases:
            with self.subTest(options=[o[:40] for o in options]):
                out = folder / "out.exe"
                result = run(STUBPACK, "build", "--stub", STUB, "--setup", STUB,
                             "--out", out, *options)
                self.assertEqual(result.returncode, 1, result.stderr)
                lines = result.stderr.splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertTrue(lines[0].startswith("stubpack: "), lines[0])
                self.assertIn(fragment, lines[0])
                self.assertEqual(sorted(p.name for p in folder.iterdir()
                                        if not p.name.endswith(".ico")), [])


@unittest.skipUnless(os.path.exists(STUBPACK) and STUB.is_file() and SIGNING_TOOLS,
                     "needs stubpack, Stub64.exe, openssl and osslsigncode")
class BrandedLauncher(unittest.TestCase):
    """One branded, signed build, followed through every reader."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="brand-")
        d = cls.dir = Path(cls.tmp.name)
        (d / "icon.ico").write_bytes(icon_file(ICON_IMAGES))
        cls.key, cls.cert = d / "key.pem", d / "cert.pem"
        result = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     cls.key, "-out", cls.cert, "-days", "2", "-subj", "/CN=branding test")
        assert result.returncode == 0, result.stderr
        # Same file name in both folders: OriginalFilename defaults to it.
        for name in ("unsigned", "signed", "windows", "windows-signed"):
            (d / name).mkdir()
        name = STRINGS["OriginalFilename"]
        cls.unsigned, cls.signed = d / "unsigned" / name, d / "signed" / name
        cls.sign = ("osslsigncode sign -certs %s -key %s -h sha256 -time 1767225600 "
                    "-in {in} -out {out}" % (cls.cert, cls.key))
        cls.options = ["--setup", winelib.probe_exe(), "--icon", d / "icon.ico"] + OPTIONS
        for out, extra in ((cls.unsigned, []), (cls.signed, ["--sign-command", cls.sign])):
            result = run(STUBPACK, "build", "--stub", STUB, "--out", out, *cls.options, *extra)
            assert result.returncode == 0, result.stderr

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_image_stays_a_consistent_launcher(self):
        stub, branded = Pe(STUB.read_bytes()), Pe(self.unsigned.read_bytes())
        self.assertEqual(branded.pe, stub.pe)
        self.assertGreaterEqual(branded.pe, 152)
        self.assertEqual([s[0] for s in branded.sections], [s[0] for s in stub.sections])
        # Sections before .rsrc untouched; .rsrc grew; .reloc moved with its bytes.
        for before, after in zip(stub.sections, branded.sections):
            if before[0] in (".rsrc", ".reloc"):
                continue
            self.assertEqual(before, after)
            self.assertEqual(stub.data[before[4]:before[4] + before[3]],
                             branded.data[after[4]:after[4] + after[3]])
        reloc_old, reloc_new = stub.section(".reloc"), branded.section(".reloc")
        self.assertEqual(stub.data[reloc_old[4]:reloc_old[4] + reloc_old[3]],
                         branded.data[reloc_new[4]:reloc_new[4] + reloc_new[3]])
        rsrc = branded.section(".rsrc")
        self.assertEqual(branded.directory(2), (rsrc[2], rsrc[1]))
        self.assertEqual(branded.directory(5), (reloc_new[2], stub.directory(5)[1]))
        self.assertGreaterEqual(reloc_new[2], rsrc[2] + rsrc[1])
        self.assertEqual(reloc_new[4], rsrc[4] + rsrc[3])
        last = max(branded.sections, key=lambda s: s[2])
        self.assertEqual(branded.u32(branded.opt + 56), (last[2] + last[1] + 0xFFF) & ~0xFFF)
        self.assertEqual(branded.u32(branded.opt + 8) - stub.u32(stub.opt + 8),
                         rsrc[3] - stub.section(".rsrc")[3])
        self.assertEqual(branded.u32(branded.opt + 64), reference_pe_checksum(branded.data))
        self.assertEqual(len(branded.data) % 8, 0)
        # The manifest, byte for byte; the icons exactly the .ico's images.
        old, new = stub.resources(), branded.resources()
        manifests = [k for k in old if k[0] == 24]
        self.assertEqual(len(manifests), 1)
        self.assertEqual(new[manifests[0]], old[manifests[0]])
        icon = (self.dir / "icon.ico").read_bytes()
        images = []
        for i in range(len(ICON_IMAGES)):
            size, at = struct.unpack_from("<II", icon, 6 + 16 * i + 8)
            images.append(icon[at:at + size])
        self.assertEqual([v for k, v in sorted(new.items()) if k[0] == 3], images)

    def test_explorer_reads_every_string_version_and_icon(self):
        if not (winelib.wine_available() and BRANDCHECK.is_file()):
            self.skipTest("needs Wine and brandcheck.exe")
        for path in (self.unsigned, self.signed):
            code, out, err = winelib.wine([BRANDCHECK, winelib.to_windows_path(path)])
            self.assertEqual(code, 0, out + err)
            report = json.loads(out.strip().splitlines()[-1])
            version = report["version"]
            self.assertEqual(version["translation"], "000004B0")
            self.assertEqual((version["file_version"], version["product_version"]),
                             ("4.2.0.1234", "4.2.0.0"))
            expected = dict(STRINGS, FileVersion="4.2.0.1234", ProductVersion="4.2.0.0")
            self.assertEqual(version["strings"], expected)
            self.assertEqual([(i["size"][0], i["bit_count"], i["loaded"], i["loaded_size"][0])
                              for i in report["icons"]],
                             [(s, b, True, s) for s, b, _ in ICON_IMAGES])
        info = json.loads(run(STUBPACK, "inspect", "--json", self.signed).stdout)["branding"]
        self.assertEqual([(i["width"], i["bitCount"], i["png"]) for i in info["icons"]],
                         ICON_IMAGES)
        self.assertEqual(info["version"]["strings"]["000004B0"], expected)

    def test_signed_file_verifies_and_round_trips(self):
        unsigned, signed = self.unsigned.read_bytes(), self.signed.read_bytes()
        result = run("osslsigncode", "verify", "-CAfile", self.cert, "-in", self.signed)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for path in (self.unsigned, self.signed):
            result = run(STUBPACK, "verify", path)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("resources     ok: 7 resources; icon 4 images; version 4.2.0.1234",
                          result.stdout)
        removed, sig, attached = (self.dir / n for n in ("removed.exe", "sig.der", "attached.exe"))
        self.assertEqual(run("osslsigncode", "remove-signature", "-in", self.signed,
                             "-out", removed).returncode, 0)
        self.assertEqual(removed.read_bytes(), unsigned)
        self.assertEqual(run("osslsigncode", "extract-signature", "-in", self.signed,
                             "-out", sig).returncode, 0)
        run("osslsigncode", "attach-signature", "-sigin", sig, "-in", self.unsigned,
            "-out", attached)
        self.assertEqual(attached.read_bytes(), signed)

    def test_branded_and_signed_launchers_start_the_setup_program(self):
        if not winelib.wine_available():
            self.skipTest("needs Wine")
        for path in (self.unsigned, self.signed):
            with self.subTest(path=path.parent.name):
                temp, report_path = self.dir / "temp", self.dir / "probe.json"
                temp.mkdir(exist_ok=True)
                report_path.unlink(missing_ok=True)
                report = winelib.run_launcher(path, args=["/x"], tmp=temp, env={
                    "PROBE_REPORT": winelib.to_windows_path(report_path)})
                self.assertEqual((report["exit_code"], report["boxes"]), (0, []))
                probe = json.loads(report_path.read_text(encoding="utf-8"))
                self.assertTrue(probe["command_line"].endswith(" /x"))

    def test_windows_packer_writes_the_same_bytes(self):
        if not (winelib.wine_available() and WINDOWS_STUBPACK.is_file()):
            self.skipTest("needs Wine and stubpack.exe")
        w = winelib.to_windows_path
        options = [w(o) if isinstance(o, Path) else o for o in self.options]
        name = STRINGS["OriginalFilename"]
        # A stand-in signer on the Windows side: it copies the file the Linux
        # build signed, which is only accepted because the inputs match.
        cases = [("windows", [], self.unsigned, None),
                 ("windows-signed", ["--sign-command", "copy /y %s {out} & rem {in}" % w(self.signed)],
                  self.signed, None),
                 ("windows-signed", ["--sign-command", "cmd /c exit 3 & rem {in}"], None,
                  "exit code 3"),
                 ("windows-signed", ["--sign-command", "rem {in}"], None,
                  "carries no signature")]
        for folder, extra, expected, failure in cases:
            with self.subTest(extra=extra):
                out = self.dir / folder / name
                out.unlink(missing_ok=True)
                code, stdout, stderr = winelib.wine(
                    [WINDOWS_STUBPACK, "build", "--stub", w(STUB), "--out", w(out)]
                    + options + extra)
                if failure:
                    self.assertEqual(code, 1, stderr)
                    self.assertIn(failure, stderr)
                    self.assertEqual(list((self.dir / folder).iterdir()), [])
                else:
                    self.assertEqual(code, 0, stdout + stderr)
                    self.assertEqual(out.read_bytes(), expected.read_bytes())


if __name__ == "__main__":
    unittest.main()
