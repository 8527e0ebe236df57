#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small valid launcher files made by the
packer (attached, detached, several LZMA settings, crafted streams) and
damaged variants of them (cut, flipped, zeroed locator, oversized fields).

Usage: make_corpus.py STUBPACK OUT_DIR
"""
import os
import random
import struct
import subprocess
import sys
import tempfile


def fake_stub():
    # "MZ", PE32+ headers at 256 with empty data directories and one empty
    # section: enough for the packer and a loader, and small.
    stub = bytearray(1024)
    stub[0:2] = b"MZ"
    struct.pack_into("<I", stub, 60, 256)
    stub[256:260] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", stub, 260, 0x8664, 1, 0, 0, 0, 240, 0x22)
    struct.pack_into("<H", stub, 280, 0x20B)
    struct.pack_into("<II", stub, 280 + 32, 0x1000, 0x200)
    struct.pack_into("<II", stub, 280 + 56, 0x2000, 1024)
    struct.pack_into("<I", stub, 280 + 108, 16)
    struct.pack_into("<8sII", stub, 280 + 240, b".text", 0x1000, 0x1000)
    return bytes(stub)


def main():
    stubpack, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(1234)
    work = tempfile.mkdtemp()
    stub_path = os.path.join(work, "stub.exe")
    with open(stub_path, "wb") as f:
        f.write(fake_stub())
    payloads = {
        "text": b"setup program " * 40,
        "random": bytes(rng.randrange(256) for _ in range(700)),
        "runs": b"A" * 300 + b"BC" * 200 + bytes(range(256)),
    }
    variants = [
        [],
        ["--detached"],
        ["--lc", "0", "--lp", "2", "--pb", "0", "--dict", "4K"],
        ["--releases", "xp,vista", "--admin-mode", "runas"],
    ]
    valid = []
    for name, payload in payloads.items():
        setup_path = os.path.join(work, name + ".bin")
        with open(setup_path, "wb") as f:
            f.write(payload)
        for i, extra in enumerate(variants):
            out = os.path.join(out_dir, "valid-%s-%d" % (name, i))
            subprocess.run([stubpack, "build", "--stub", stub_path, "--setup", setup_path,
                            "--out", out] + extra, check=True)
            with open(out, "rb") as f:
                valid.append(f.read())
    for n, data in enumerate(valid):
        damaged = bytearray(data)
        kind = n % 4
        if kind == 0:
            damaged = damaged[: len(damaged) - 7]
        elif kind == 1:
            damaged[len(damaged) // 2] ^= 0x40
        elif kind == 2:
            damaged[128:152] = bytes(24)
        else:
            struct.pack_into("<i", damaged, 512 + 42, 0x7FFFFFF0)  # payloadSize
        with open(os.path.join(out_dir, "damaged-%d" % n), "wb") as f:
            f.write(bytes(damaged))


if __name__ == "__main__":
    main()
