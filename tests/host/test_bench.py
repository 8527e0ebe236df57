# SPDX-License-Identifier: 0BSD
"""The benchmark's own pieces that its figures rest on, against the real
stubpack and set_decode_bench: the folder tree is a file set stubpack takes
and its files concatenated are the one program's bytes; a program packs in
blocks or as one block; stubpack's abilities are detected from stubpack
itself; and set_decode_bench decodes with the launcher's threads to the
right bytes, refuses damage, and uses the threads the launcher would.

    STUBPACK=build/host/packer/stubpack \\
    SET_DECODE_BENCH=build/host/bench/set_decode_bench \\
    python3 -m unittest tests/host/test_bench.py
"""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

ROOT = Path(os.environ.get("SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(ROOT / "bench"))

import cores_section  # noqa: E402
import packing  # noqa: E402
import run  # noqa: E402
import sets_section  # noqa: E402
import window_section  # noqa: E402

STUBPACK = Path(os.environ.get("STUBPACK", ROOT / "build/host/packer/stubpack")).resolve()
SET_DECODE_BENCH = Path(os.environ.get(
    "SET_DECODE_BENCH", ROOT / "build/host/bench/set_decode_bench")).resolve()
# Any bytes do as the entry: stubpack goes by its name.
ENTRY_BYTES = b"MZ" + bytes(510)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)
        self.stamp = self.dir / "stamp.exe"
        self.stamp.write_bytes(ENTRY_BYTES)

    def tearDown(self):
        self.tmp.cleanup()

    def sources(self, names, size=3000):
        """Files under src/bin and src/lib, each `size` bytes of its own."""
        made = []
        for i, name in enumerate(names):
            folder = self.dir / "src" / ("lib" if i % 2 else "bin")
            folder.mkdir(parents=True, exist_ok=True)
            (folder / name).write_bytes(bytes([i % 251]) * 7 + os.urandom(size - 7))
            made.append(str(folder / name))
        return made

    def build(self, inputs, name, extra=()):
        out = self.dir / name
        packing.build(STUBPACK, self.stub(), inputs, out, ["--preset", "0"] + list(extra))
        return out, packing.inspect(STUBPACK, out)

    def stub(self):
        stub = self.dir / "Stub64.exe"
        if not stub.exists():
            subprocess.run([str(STUBPACK), "stub", "--out", str(stub)], check=True)
        return stub


class FolderTree(Scratch):
    def test_layout_keeps_to_the_path_rules_and_the_size(self):
        # (source names, size asked, names expected in the tree)
        rows = [
            (["ls", "libc.so.6", "c++"], 7000, {"ls", "libc.so.6", "c++"}),
            (["CON", "aux.so", "prog~1", "dot.", "a:b", "ok"], 2000, {"ok"}),
            (["Tool", "tool", "other"], 5000, {"Tool", "other"}),
        ]
        for names, size, expected in rows:
            with self.subTest(names=names):
                layout = packing.tree_layout(self.sources(names), size)
                self.assertEqual(sum(length for _, _, length in layout), size)
                self.assertEqual({p.rsplit("/", 1)[1] for p, _, _ in layout}, expected)
                folded = [p.upper() for p, _, _ in layout]
                self.assertEqual(len(folded), len(set(folded)))
                for p, _, _ in layout:
                    self.assertTrue(p.startswith(packing.SET_TREE + "/"), p)

    def test_files_come_round_again_in_a_folder_of_their_own(self):
        layout = packing.tree_layout(self.sources(["one", "two"], 1000), 5000)
        self.assertEqual(len(layout), 5)
        self.assertTrue(all("/copy1/" in p for p, _, _ in layout[2:4]))
        self.assertTrue("/copy2/" in layout[4][0])

    def test_the_set_and_the_program_hold_the_same_bytes(self):
        folder = self.dir / "folder"
        count = packing.make_setup_dir(self.stamp, 300000, folder,
                                       self.sources(["b%02d" % i for i in range(60)], 6000))
        _, info = self.build(["--setup-dir", str(folder), "--entry", packing.SET_ENTRY],
                             "set.exe", ["--block-size", "64K"])
        self.assertEqual(info["setTable"]["fileCount"], count)
        self.assertEqual(info["entry"]["index"], 0, "the entry sorts first")
        self.assertGreater(sets_section.folder_count([f["path"] for f in info["files"]]), 2)
        order = sets_section.program_order(info)
        program = self.dir / "program.exe"
        packing.concatenate(folder, order, program)
        data = program.read_bytes()
        self.assertTrue(data.startswith(ENTRY_BYTES))
        self.assertEqual(len(data), info["setTable"]["totalSize"])
        # The one-file set of that program decodes to it: the program is
        # the set's concatenation.
        launcher, _ = self.build(packing.program_args(program, True, self.dir / "one"),
                                 "blocks.exe", ["--block-size", "64K"])
        done = subprocess.run([str(SET_DECODE_BENCH), str(launcher), "1", "2", str(program)],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)


class Packing(Scratch):
    def test_blocks_and_one_block(self):
        program = self.dir / "setup.exe"
        program.write_bytes(ENTRY_BYTES + os.urandom(40000))
        for blocks, form in ((True, "fileSet"), (False, None)):
            with self.subTest(blocks=blocks):
                # A block smaller than the program: blocks either way.
                _, info = self.build(packing.program_args(program, blocks, self.dir / "one"),
                                     "out-%s.exe" % blocks,
                                     ["--block-size", "16K"] if blocks else [])
                self.assertEqual(info.get("form"), form)
                if form:
                    self.assertEqual([f["path"] for f in info["files"]], ["setup.exe"])

    def test_stubpack_abilities_come_from_stubpack(self):
        fake = self.dir / "fake-stubpack"
        rows = [  # (build --help text, --threads detected)
            ("  --threads N   compress on N threads\n", True),
            ("  --preset 0-9  LZMA preset\n", False),
            ("  --setup FILE  one may pass --threads one day\n", False),
        ]
        for text, expected in rows:
            with self.subTest(text=text):
                fake.write_text("#!/bin/sh\ncat <<'EOF'\n%sEOF\n" % text)
                fake.chmod(0o755)
                self.assertEqual(packing.has_threads_option(fake), expected)
        # The real one: whatever it says, --setup in blocks must agree with
        # the form it writes.
        self.assertIsInstance(packing.setup_writes_blocks(STUBPACK, self.stub(), self.stamp,
                                                          self.dir), bool)


class SetDecodeBench(Scratch):
    def set_launcher(self, block):
        folder = self.dir / "folder"
        packing.make_setup_dir(self.stamp, 50000, folder,
                               self.sources(["f%02d" % i for i in range(12)], 3000))
        launcher, info = self.build(["--setup-dir", str(folder), "--entry", packing.SET_ENTRY],
                                    "set-%d.exe" % block, ["--block-size", str(block)])
        expected = self.dir / "expected.bin"
        packing.concatenate(folder, [f["path"] for f in info["files"]], expected)
        return launcher, info, expected

    def run_bench(self, *args):
        return subprocess.run([str(SET_DECODE_BENCH)] + [str(a) for a in args],
                              capture_output=True, text=True)

    def test_every_thread_count_gives_the_files_bytes(self):
        # Blocks smaller than a file, and larger than several.
        for block in (4096, 16384):
            with self.subTest(block=block):
                launcher, info, expected = self.set_launcher(block)
                done = self.run_bench(launcher, 2, "1,2,3,8", expected)
                self.assertEqual(done.returncode, 0, done.stderr)
                rounds = cores_section.parse_rounds(done.stdout)
                blocks = info["setTable"]["blockCount"]
                self.assertEqual(sorted(rounds), [1, 2, 3, 8])
                for threads, runs in rounds.items():
                    self.assertEqual(len(runs), 2)
                    self.assertEqual({used for used, _, _ in runs},
                                     {packing.decode_threads(threads, blocks)})

    def test_refusals(self):
        launcher, info, expected = self.set_launcher(4096)
        damaged = self.dir / "damaged.exe"
        data = bytearray(launcher.read_bytes())
        data[info["blocks"][-2]["offset"] + 5] ^= 0x40
        damaged.write_bytes(bytes(data))
        wrong = self.dir / "wrong.bin"
        wrong.write_bytes(expected.read_bytes()[:-1] + b"\x00")
        one, _ = self.build(["--setup", str(expected)], "one.exe")
        rows = [  # (arguments, what stderr names)
            ((damaged, 1, "1,2"), "refused a block"),
            ((launcher, 1, "2", wrong), "differ"),
            ((launcher, 1, "1", self.stamp), "size"),
            ((one, 1, "1"), "not a file set"),
            ((launcher, 1, "0"), "thread count"),
            ((launcher, 1, "1,9"), "thread count"),
        ]
        for args, message in rows:
            with self.subTest(args=[str(a) for a in args]):
                done = self.run_bench(*args)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr)


class Options(unittest.TestCase):
    def test_sections(self):
        rows = [  # (--only, --peer-only, --large, chosen)
            ("", False, False, ["base", "peer", "sets", "cores", "window"]),
            ("", False, True, list(run.SECTIONS)),
            ("window,sets", False, False, ["sets", "window"]),
            ("", True, False, ["peer"]),
            ("large", False, False, ["large"]),
        ]
        for only, peer_only, large, chosen in rows:
            with self.subTest(only=only, peer_only=peer_only, large=large):
                self.assertEqual(run.chosen_sections(only, peer_only, large), chosen)
        for bad in ("bogus", "sets,,cores,nope", ","):
            with self.subTest(bad=bad), self.assertRaises(SystemExit):
                run.chosen_sections(bad, False, False)

    def test_the_window_verdict_says_whether_the_rounds_settle_it(self):
        rows = [  # (per-round ratios, settled, met)
            ([0.990, 0.995, 1.000, 0.998, 0.993] * 8, True, True),
            ([1.030, 1.020, 1.025, 1.040, 1.028] * 8, True, False),
            ([0.90, 1.12, 0.97, 1.06, 1.01, 0.95, 1.09], False, None),
        ]
        for ratios, settled, met in rows:
            with self.subTest(ratios=ratios[:5]):
                low, high = window_section.median_interval(ratios)
                self.assertLessEqual(low, window_section.median(ratios))
                self.assertGreaterEqual(high, window_section.median(ratios))
                said = window_section.resolution((low, high), window_section.GOAL)
                self.assertEqual(said.startswith("resolved"), settled, said)
                if settled:
                    self.assertEqual("meets" in said, met, said)

    def test_the_program_starts_with_the_entry_wherever_it_sorts(self):
        files = [{"path": p} for p in ("a\\one", "b.exe", "c\\two")]
        for entry, first in ((0, "a\\one"), (1, "b.exe"), (2, "c\\two")):
            with self.subTest(entry=entry):
                order = sets_section.program_order({"files": files, "entry": {"index": entry}})
                self.assertEqual(order[0], first)
                self.assertEqual(sorted(order), sorted(f["path"] for f in files))

    def test_memory_bound_at_two_threads(self):
        # 8 MiB dictionary: 2 x 12 MiB + 16 MiB.
        self.assertEqual(cores_section.memory_bound(2, 8 << 20), 40 << 20)
        self.assertEqual(cores_section.cpu_count("0,1"), 2)
        self.assertEqual(cores_section.cpu_count("0-3,6"), 5)
        with mock.patch("os.cpu_count", return_value=12):
            self.assertEqual(cores_section.host_threads(), [1, 2, 4, 8])
        self.assertEqual(cores_section.host_threads(1), [1, 2])


if __name__ == "__main__":
    unittest.main()
