# SPDX-License-Identifier: 0BSD
"""Crafted LZMA blocks through the real launcher under Wine: which decoded
sizes, property bytes and header values it accepts.

    BUILD_WIN=build/win WINEPREFIX=$PWD/build/wineprefix \\
        python3 -m unittest -v tests/e2e/test_lzma_streams.py

Every accepted image starts with probe.exe (bytes behind a PE image do not
stop it from running), so acceptance shows as the probe running; accepted
runs use detached mode so the copy stays and is compared with the expected
bytes.

Where a case depends on how the encoder laid out its symbols, the layout is
checked first with Python's own liblzma: decoding the block one input byte at
a time gives, for every input length, how many bytes can be decoded from it.
Output only ever grows by whole symbols, so that table shows where symbols
end and how much input each one needs.
"""

import lzma
import random
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launcher_files as lf  # noqa: E402
from launcher_files import DAMAGED, LAUNCH_FAILED  # noqa: E402

FOUR_MIB = 1 << 22


def setUpModule():
    lf.require_wine()


def filters(lc=3, lp=0, pb=2, dict_size=FOUR_MIB):
    return [{"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb, "dict_size": dict_size}]


def decodable_sizes(block, **settings):
    """sizes[n]: bytes decodable from the first n bytes of BLOCK."""
    decoder = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=filters(**settings))
    sizes = [0]
    for i in range(len(block)):
        if decoder.eof:
            break
        sizes.append(sizes[-1] + len(decoder.decompress(block[i:i + 1])))
    return sizes


def input_needed(sizes, size):
    """The fewest input bytes from which SIZE bytes can be decoded."""
    return next(n for n, s in enumerate(sizes) if s >= size)


class Streams(lf.LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        cls.probe = lf.probe_bytes()
        cls.probe_block, _ = lf.compress(cls.probe)

    def assert_accepted(self, data, **build_args):
        """The launcher decodes the block to DATA and runs it."""
        f = lf.build(detached=True, **build_args)
        self.clear_tmp()
        self.assert_setup_ran(self.run_launcher(f), wait_s=30)
        self.assertEqual(self.left_copy().read_bytes(), data)

    def assert_damaged(self, **build_args):
        self.clear_tmp()
        self.assert_box(self.run_launcher(lf.build(**build_args)), DAMAGED)
        self.assert_empty(self.tmp)

    def clear_tmp(self):
        # Detached runs leave their copies behind.
        self.clear_folder()

    def block_args(self, block, payload_size, properties=None, **header):
        return dict(block=block, payload_size=payload_size,
                    properties=properties or lf.property_bytes(), header=header)

    # --- damage found late ----------------------------------------------------

    def test_damage_late_in_a_large_stream_leaves_nothing_behind(self):
        # The copy is written while the block is decoded; a block cut short
        # fails only near its end. Damage it is, with the temporary folder
        # writable (a partly written copy is removed) or missing.
        data = self.probe + random.Random(5).randbytes(3 << 20)
        block, _ = lf.compress(data)
        launcher = lf.build(**self.block_args(block[:-64], len(data)))
        for tmp in (self.tmp, self.dir / "missing"):
            with self.subTest(tmp=tmp.name):
                self.assert_box(self.run_launcher(launcher, tmp=tmp), DAMAGED)
                self.assert_empty(self.tmp)
                self.assertFalse((self.dir / "missing").exists())

    # --- where the decoded size ends ----------------------------------------

    def test_end_marker_right_after_the_payload(self):
        n = len(self.probe)
        self.assert_accepted(self.probe, **self.block_args(self.probe_block, n))
        # One byte more meets the end marker first.
        self.assert_damaged(**self.block_args(self.probe_block, n + 1))

    def test_match_running_past_the_payload_size_is_refused(self):
        head = random.Random(1).randbytes(600)
        data = self.probe + head + head[:250]
        block, _ = lf.compress(data)
        sizes = decodable_sizes(block)
        last = input_needed(sizes, len(data))
        # The 250 repeated bytes come out of one input byte at once: one match.
        self.assertEqual(sizes[last - 1], len(data) - 250)
        self.assert_accepted(data, **self.block_args(block, len(data)))
        for back in (1, 100, 249):
            with self.subTest(bytes_before_the_end=back):
                self.assert_damaged(**self.block_args(block, len(data) - back))

    def test_block_going_on_after_the_payload_size_is_accepted(self):
        # Random bytes after the probe are literals. Pick a boundary after
        # which the next literal needs two more input bytes, so it reads past
        # its first normalisation whatever that does: the case the launcher
        # can tell from a match running past the size.
        data = self.probe + random.Random(0).randbytes(64)
        block, _ = lf.compress(data)
        sizes = decodable_sizes(block)
        chosen = []
        for size in range(len(self.probe) + 1, len(data)):
            n = input_needed(sizes, size)
            if sizes[n] == size and sizes[n + 1] == size:
                chosen.append(size)
        self.assertGreaterEqual(len(chosen), 2, "no such boundary in this block")
        for size in chosen[:2]:
            with self.subTest(payload_size=size, symbols_after=len(data) - size):
                self.assert_accepted(data[:size], **self.block_args(block, size))

    def test_cut_block(self):
        n = len(self.probe)
        needed = input_needed(decodable_sizes(self.probe_block), n)
        # Without its end marker the block still holds the whole payload.
        self.assertLess(needed, len(self.probe_block))
        self.assert_accepted(self.probe, **self.block_args(self.probe_block[:needed], n))
        for cut in (needed - 1, len(self.probe_block) // 2, 5, 0):
            with self.subTest(block_bytes=cut):
                self.assert_damaged(**self.block_args(self.probe_block[:cut], n))

    def test_trailing_bytes_within_the_packed_size_are_ignored(self):
        n = len(self.probe)
        for name, trailer in {"zeros": bytes(100), "random": random.Random(2).randbytes(4096),
                              "a second block": self.probe_block}.items():
            with self.subTest(name):
                self.assert_accepted(self.probe,
                                     **self.block_args(self.probe_block + trailer, n))

    def test_payload_size_zero_writes_an_empty_copy_whatever_the_block(self):
        for name, block in {"garbage": random.Random(4).randbytes(300), "empty": b"",
                            "the probe's block": self.probe_block}.items():
            with self.subTest(name):
                self.clear_tmp()
                f = lf.build(**self.block_args(block, 0))
                # An empty file cannot be started; the copy stays behind.
                self.assert_box(self.run_launcher(f), LAUNCH_FAILED)
                self.assertEqual(self.left_copy().read_bytes(), b"")

    # --- header values -------------------------------------------------------

    def test_out_of_range_sizes_and_offsets_are_damage(self):
        b = self.probe_block
        n = len(self.probe)
        good = lf.build(self.probe)
        cases = {
            "payload size -1": dict(payload_size=-1),
            "payload size -2^31": dict(payload_size=-(2**31)),
            "packed size 2^31": dict(payload_packed_size=2**31),
            "packed size 2^32-1": dict(payload_packed_size=2**32 - 1),
            "packed size past the end of the file":
                dict(payload_packed_size=len(good.data) - good.block_offset + 1),
            "payload offset 2^31": dict(payload_offset=2**31),
            "payload offset 2^32-1": dict(payload_offset=2**32 - 1),
            "payload offset past the end of the file": dict(payload_offset=len(good.data)),
        }
        for name, header in cases.items():
            with self.subTest(name):
                size = header.pop("payload_size", n)
                self.assert_damaged(**self.block_args(b, size, **header))

    # --- property bytes ------------------------------------------------------

    def test_property_bytes_that_decode(self):
        data = self.probe + self.probe[:5000]
        cases = [
            ("lc 3 lp 0 pb 2", dict(lc=3, lp=0, pb=2)),
            ("lc 0 lp 2 pb 0", dict(lc=0, lp=2, pb=0)),
            ("lc 4 lp 0 pb 4", dict(lc=4, lp=0, pb=4)),
            ("lc 1 lp 3 pb 1", dict(lc=1, lp=3, pb=1)),
        ]
        for name, settings in cases:
            with self.subTest(name):
                block, props = lf.compress(data, **settings)
                self.assert_accepted(data, **self.block_args(block, len(data), props))

    def test_dictionary_sizes_that_decode(self):
        # Below liblzma's smallest dictionary (4 KiB) a stream written with
        # 4 KiB still decodes; the largest accepted size must not cost 2 GiB.
        small_block, _ = lf.compress(self.probe, dict_size=4096)
        cases = {
            "0": (small_block, lf.property_bytes(dict_size=0)),
            "4096": (small_block, lf.property_bytes(dict_size=4096)),
            "2^31-1": (self.probe_block, lf.property_bytes(dict_size=2**31 - 1)),
        }
        for name, (block, props) in cases.items():
            with self.subTest(dictionary=name):
                self.assert_accepted(self.probe,
                                     **self.block_args(block, len(self.probe), props))

    def test_match_beyond_the_dictionary_is_damage(self):
        far = random.Random(6).randbytes(8000)
        data = self.probe + far + far[:300]
        block, _ = lf.compress(data, dict_size=1 << 20)
        # The repeat lies 8000 bytes back: a 4 KiB dictionary cannot reach it.
        with self.assertRaises(lzma.LZMAError):
            lzma.decompress(block, lzma.FORMAT_RAW, filters=filters(dict_size=4096))
        self.assert_damaged(**self.block_args(block, len(data),
                                              lf.property_bytes(dict_size=4096)))

    def test_refused_property_bytes(self):
        dictionary = (FOUR_MIB).to_bytes(4, "little")
        cases = {
            "first byte 225": bytes([225]) + dictionary,
            "first byte 255": bytes([255]) + dictionary,
            # lc 8 lp 4 pb 4: within the byte range, but lc + lp > 4.
            "first byte 224": bytes([224]) + dictionary,
            "lc 5 lp 0 pb 2": bytes([95]) + dictionary,
            "dictionary 00 00 00 80": bytes([0x5D, 0, 0, 0, 0x80]),
            "dictionary FF FF FF FF": bytes([0x5D, 0xFF, 0xFF, 0xFF, 0xFF]),
        }
        for name, props in cases.items():
            with self.subTest(name):
                self.assert_damaged(**self.block_args(self.probe_block, len(self.probe),
                                                      props))


if __name__ == "__main__":
    unittest.main()
