#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Writes the seed corpus of signature_fuzz: PKCS#7 SignedData (byte 0) and
setup programs (byte 1, then a seed byte). Small crafted ones always; when
osslsigncode and openssl are there, real Authenticode signatures of PROGRAM
(plain and nested) and the signed programs themselves.

Usage: make_signature_corpus.py OUT_DIR [PROGRAM]
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from make_corpus import fake_stub


def der(tag, *parts):
    body = b"".join(parts)
    if len(body) < 0x80:
        return bytes([tag, len(body)]) + body
    size = len(body).to_bytes((len(body).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + body


def oid(*encoded):
    return der(0x06, bytes(encoded))


def name(common):
    return der(0x30, der(0x31, der(0x30, oid(0x55, 4, 3), der(0x0C, common.encode()))))


def certificate(issuer, serial):
    algorithm = der(0x30, oid(0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 1, 1, 11), b"\x05\x00")
    tbs = der(0x30, der(0xA0, der(0x02, b"\x02")), der(0x02, serial), algorithm, name(issuer),
              der(0x30), name(issuer), der(0x30))
    return der(0x30, tbs, algorithm, der(0x03, b"\x00" + bytes(16)))


def signed_data(certificates, issuer, serial, padding=b""):
    signer = der(0x30, der(0x02, b"\x01"), der(0x30, name(issuer), der(0x02, serial)),
                 der(0x30), der(0x30), der(0x04, bytes(8)))
    content = der(0x30, der(0x02, b"\x01"), der(0x31), der(0x30, oid(0x2B, 6, 1)),
                  der(0xA0, *certificates), der(0x31, signer))
    return der(0x30, oid(0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 1, 7, 2), der(0xA0, content)) + padding


def pe_with_table(signature):
    """make_corpus's small PE32+ image with a certificate table holding
    SIGNATURE, ending it."""
    image = bytearray(fake_stub())
    entry = struct.pack("<IHH", 8 + len(signature), 0x200, 2) + signature
    entry += bytes(-len(entry) % 8)
    struct.pack_into("<II", image, 280 + 112 + 32, len(image), len(entry))
    return bytes(image) + entry


def real_signatures(program, folder):
    """(signature, signed program) pairs made with osslsigncode, or none."""
    if not program or not all(shutil.which(t) for t in ("openssl", "osslsigncode")):
        return []
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=fuzz seed"],
                   check=True, capture_output=True)
    pairs, signed = [], program
    for step, extra in (("plain", []), ("nested", ["-nest"])):
        out = os.path.join(folder, step + ".exe")
        sig = os.path.join(folder, step + ".sig")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                        "-time", "1767225600", *extra, "-in", signed, "-out", out],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "extract-signature", "-in", out, "-out", sig],
                       check=True, capture_output=True)
        with open(sig, "rb") as f, open(out, "rb") as g:
            pairs.append((step, f.read(), g.read()))
        signed = out
    return pairs


def main():
    out = sys.argv[1]
    program = sys.argv[2] if len(sys.argv) > 2 else None
    os.makedirs(out, exist_ok=True)
    serial = b"\x01\x23"
    two = [certificate("other", serial), certificate("vendor", serial)]
    seeds = {
        "der-two": signed_data(two, "vendor", serial),
        "der-padded": signed_data(two[1:], "vendor", serial, bytes(6)),
        "der-no-match": signed_data(two[:1], "vendor", serial),
        "der-long": signed_data([certificate("v" * 300, serial)], "v" * 300, serial),
    }
    corpus = {"sig-" + k: b"\0" + v for k, v in seeds.items()}
    corpus["program-crafted"] = b"\1\7" + pe_with_table(seeds["der-two"])
    with tempfile.TemporaryDirectory() as folder:
        if program:
            with open(program, "rb") as f:
                corpus["program-unsigned"] = b"\1\3" + f.read()
        for step, signature, signed in real_signatures(program, folder):
            corpus["sig-" + step] = b"\0" + signature
            corpus["program-" + step] = b"\1\5" + signed
    for key, data in corpus.items():
        with open(os.path.join(out, key), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
