# SPDX-License-Identifier: 0BSD
"""The real launcher under Wine against whole and damaged packages: locator,
file size, CRC region and header read.

    BUILD_WIN=build/win WINEPREFIX=$PWD/build/wineprefix \\
        python3 -m unittest -v tests/e2e/test_package_checks.py

A file shorter than 152 bytes (short locator read) is not tried here: no
loadable 64-bit image is that small, so the launcher never runs from one.
"""

import random
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launcher_files as lf  # noqa: E402
from launcher_files import DAMAGED, TRUNCATED  # noqa: E402


def setUpModule():
    lf.require_wine()


def flip(data, offset):
    out = bytearray(data)
    out[offset] ^= 0x01
    return bytes(out)


class PackageChecks(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.probe = lf.probe_bytes()
        # Bytes inside the CRC region after the text, and package bytes beyond
        # it, so both sides of the region's end can be touched.
        rng = random.Random(0)
        cls.good = lf.build(cls.probe, crc_extra=rng.randbytes(40), after_crc=rng.randbytes(40))

    def assert_refused(self, data, text):
        result = self.run_launcher(data)
        self.assert_box(result, text)
        self.assert_empty(self.tmp)
        self.assertFalse(self.report_path.exists())

    def test_whole_file_runs_the_setup_program(self):
        report = self.assert_setup_ran(self.run_launcher(self.good))
        self.assert_private_copy(report["module_path"], self.tmp)
        # Attached mode: the copy is gone once the setup program has ended.
        self.assert_empty(self.tmp)

    def test_zero_locator_is_damage(self):
        zero = dict.fromkeys(lf.LOCATOR_FIELDS, 0)
        self.assert_refused(lf.build(self.probe, locator=zero), DAMAGED)

    def test_zero_package_offset_alone_is_damage(self):
        self.assert_refused(lf.build(self.probe, locator={"package_offset": 0}), DAMAGED)

    def test_file_cut_short_is_truncated(self):
        g = self.good
        cases = {
            "inside the block": g.block_offset + 100,
            "inside the header": g.header["payload_offset"] - 10,
            "inside the CRC region's tail": g.crc_end - 1,
            "one byte short": g.package_end - 1,
        }
        for name, size in cases.items():
            with self.subTest(name):
                # The size check comes before the CRC, which these cuts break too.
                self.assert_refused(g.data[:size], TRUNCATED)

    def test_changed_byte_inside_the_crc_region_is_damage(self):
        g = self.good
        cases = {
            "first header byte": g.locator["package_offset"],
            "reserved header byte": g.locator["package_offset"] + 30,
            "payload size": g.locator["package_offset"] + 42,
            "compressed block": g.block_offset + len(g.data[g.block_offset:g.text_offset]) // 2,
            "text": g.text_offset + 1,
            "last byte of the region": g.crc_end - 1,
        }
        for name, offset in cases.items():
            with self.subTest(name):
                self.assert_refused(flip(g.data, offset), DAMAGED)

    def test_changed_byte_outside_the_crc_region_passes(self):
        g = self.good
        cases = {
            "first byte after the region": g.crc_end,
            "last byte of the package": g.package_end - 1,
            "DOS stub text": 100,
        }
        for name, offset in cases.items():
            with self.subTest(name):
                self.assert_setup_ran(self.run_launcher(flip(g.data, offset)))

    def test_crc_value_off_by_one_is_damage(self):
        g = self.good
        f = lf.build(self.probe, locator={"crc_value": (g.locator["crc_value"] + 1) % 2**32})
        self.assert_refused(f, DAMAGED)

    def test_empty_crc_region_passes_only_with_crc_value_zero(self):
        self.assert_setup_ran(self.run_launcher(
            lf.build(self.probe, locator={"crc_length": 0, "crc_value": 0})))
        self.assert_refused(lf.build(self.probe, locator={"crc_length": 0, "crc_value": 1}),
                            DAMAGED)

    def test_crc_region_past_the_end_is_damage_not_truncation(self):
        g = self.good
        length = len(g.data) - g.locator["package_offset"] + 1
        self.assert_refused(lf.build(self.probe, locator={"crc_length": length}), DAMAGED)

    def test_crc_length_of_two_gigabytes_is_damage(self):
        self.assert_refused(lf.build(self.probe, locator={"crc_length": 0x80000000}), DAMAGED)

    def test_header_past_the_end_is_damage(self):
        # CRC over nothing, so only the header read can notice.
        g = self.good
        for back in (73, 1):
            with self.subTest(bytes_before_end=back):
                loc = {"package_offset": len(g.data) - back, "crc_length": 0, "crc_value": 0}
                self.assert_refused(lf.build(self.probe, locator=loc), DAMAGED)

    def test_larger_file_passes(self):
        # A signature block behind the package, as signing appends it.
        tails = {"signature": bytes(7) + random.Random(1).randbytes(11880), "one byte": b"\0"}
        for name, tail in tails.items():
            with self.subTest(name):
                self.assert_setup_ran(self.run_launcher(self.good.data + tail))

    def test_attached_expected_size_zero_or_below_lets_any_size_pass(self):
        for expected in (0, -1, -(2**63)):
            with self.subTest(expected=expected):
                f = lf.build(self.probe, locator={"expected_file_size": expected})
                self.assert_setup_ran(self.run_launcher(f))

    def test_attached_expected_size_beyond_the_file_is_truncated(self):
        g = self.good
        for expected in (len(g.data) + 1, 2**32 + len(g.data), 2**63 - 1):
            with self.subTest(expected=expected):
                f = lf.build(self.probe, locator={"expected_file_size": expected})
                self.assert_refused(f, TRUNCATED)


class DetachedSize(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.probe = lf.probe_bytes()

    def test_file_shorter_than_the_detached_size_is_truncated(self):
        f = lf.build(self.probe, detached=True)
        result = self.run_launcher(
            lf.build(self.probe, locator={"detached_file_size": len(f.data) + 1}))
        self.assert_box(result, TRUNCATED)
        self.assert_empty(self.tmp)

    def test_detached_size_ignores_the_expected_size(self):
        # The attached minimum would refuse this file; the detached one allows it.
        f = lf.build(self.probe, detached=True, locator={"expected_file_size": 2**40})
        self.assertEqual(f.locator["detached_file_size"], len(f.data))
        self.assert_setup_ran(self.run_launcher(f), wait_s=30)
        # Detached: the launcher leaves its copy behind.
        self.assertEqual(self.left_copy().read_bytes(), self.probe)

    def test_detached_file_cut_inside_the_package_is_truncated(self):
        f = lf.build(self.probe, detached=True)
        result = self.run_launcher(f.data[:f.block_offset + 10])
        self.assert_box(result, TRUNCATED)
        self.assert_empty(self.tmp)


if __name__ == "__main__":
    unittest.main()
