#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Writes the fuzzers' seed corpus: small valid launcher files made by the
packer (attached, detached, several LZMA settings, crafted streams, file
sets with an .exe and an .msi entry) and
damaged variants of them (cut, flipped, zeroed locator, oversized fields).
Given the real stub too (for the packer's readers), it adds the bare stubs,
launcher files built on the real stub, and images Windows' loader refuses
(cut, a section table past the headers, raw data past the end, overlapping
sections, too small a SizeOfImage).

Usage: make_corpus.py STUBPACK OUT_DIR [REAL_STUB]
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
    # File sets: a folder with nested and empty files, an .exe and an .msi
    # entry, blocks small enough that one file spans several.
    folder = os.path.join(work, "set")
    for name, payload in (("setup.exe", payloads["text"]), ("data/a.cab", payloads["random"] * 9),
                          ("data/empty.txt", b""), ("data/product.msi", payloads["runs"])):
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(payload)
    for i, entry in enumerate(("setup.exe", "data/product.msi")):
        out = os.path.join(out_dir, "valid-set-%d" % i)
        subprocess.run([stubpack, "build", "--stub", stub_path, "--setup-dir", folder, "--entry",
                        entry, "--block-size", "4K", "--preset", "0", "--out", out], check=True)
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
            struct.pack_into("<i", damaged, len(fake_stub()) + 42, 0x7FFFFFF0)  # payloadSize
        with open(os.path.join(out_dir, "damaged-%d" % n), "wb") as f:
            f.write(bytes(damaged))
    if len(sys.argv) > 3:
        write_image_seeds(stubpack, sys.argv[3], stub_path, work, out_dir)


def unloadable(image):
    """Variants of a PE image that Windows' loader refuses."""
    pe = struct.unpack_from("<I", image, 60)[0]
    optional = pe + 24
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    variants = {"cut-1024": image[:1024], "cut-half": image[: len(image) // 2]}
    many = bytearray(image)
    struct.pack_into("<H", many, pe + 6, 0xFFFF)
    variants["sections-ffff"] = many
    small = bytearray(image)
    struct.pack_into("<I", small, optional + 56, 0x1000)
    variants["small-image"] = small
    past = bytearray(image)
    struct.pack_into("<I", past, table + 20, len(image))
    variants["raw-past-end"] = past
    if sections > 1:
        overlap = bytearray(image)
        first_raw = struct.unpack_from("<I", image, table + 20)[0]
        struct.pack_into("<I", overlap, table + 40 + 20, first_raw)
        variants["raw-overlap"] = overlap
    return variants


def write_image_seeds(stubpack, real_stub, fake_stub_path, work, out_dir):
    with open(real_stub, "rb") as f:
        real = f.read()
    with open(os.path.join(out_dir, "stub-real"), "wb") as f:
        f.write(real)
    with open(os.path.join(out_dir, "stub-fake"), "wb") as f:
        f.write(fake_stub())
    setup_path = os.path.join(work, "small.bin")
    with open(setup_path, "wb") as f:
        f.write(b"setup " * 50)
    launcher = os.path.join(out_dir, "valid-real")
    subprocess.run([stubpack, "build", "--stub", real_stub, "--setup", setup_path,
                    "--out", launcher, "--preset", "0"], check=True)
    with open(launcher, "rb") as f:
        built = f.read()
    for origin, image in (("stub", real), ("launcher", built)):
        for name, data in unloadable(image).items():
            with open(os.path.join(out_dir, "pe-%s-%s" % (origin, name)), "wb") as f:
                f.write(bytes(data))


if __name__ == "__main__":
    main()
