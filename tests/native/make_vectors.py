#!/usr/bin/env python3
"""Writes the native self-test's vectors; its CMake build runs this with the
host's python3 (the file lands in the build directory as vectors.txt):

    python3 tests/native/make_vectors.py [JSON-DIR] [OUTPUT]

Hash lines come from Python's hashlib; the KEM lines are read from the public
vectors the Python tests use (default: tests/vectors; output default:
vectors.txt in the current directory).

Line formats (hex fields):
  hash ALG INPUT OUTLEN OUTPUT
  keygen D EK DK
  encap EK M C K
  decap EK DK C K MODIFIED(0|1)
"""
import hashlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def hash_lines():
    lines = []
    for n in (0, 1, 3, 71, 72, 73, 135, 136, 137, 167, 168, 169, 300, 1000):
        data = bytes((7 * i + 1) & 0xFF for i in range(n))
        h = data.hex() or "-"
        lines.append(f"hash sha3_256 {h} 32 {hashlib.sha3_256(data).hexdigest()}")
        lines.append(f"hash sha3_512 {h} 64 {hashlib.sha3_512(data).hexdigest()}")
        for outlen in (32, 200):
            lines.append(f"hash shake128 {h} {outlen} {hashlib.shake_128(data).hexdigest(outlen)}")
            lines.append(f"hash shake256 {h} {outlen} {hashlib.shake_256(data).hexdigest(outlen)}")
    data = b"abc"
    lines.append(f"hash shake128 {data.hex()} 1000 {hashlib.shake_128(data).hexdigest(1000)}")
    lines.append(f"hash shake256 {data.hex()} 1000 {hashlib.shake_256(data).hexdigest(1000)}")
    return lines


def kem_lines(vecdir):
    lines = []
    with open(os.path.join(vecdir, "keygen.json")) as f:
        for t in json.load(f)["tests"]:
            lines.append(f"keygen {t['d']} {t['ek']} {t['dk']}")
    with open(os.path.join(vecdir, "encap.json")) as f:
        for t in json.load(f)["tests"]:
            lines.append(f"encap {t['ek']} {t['m']} {t['c']} {t['k']}")
    with open(os.path.join(vecdir, "decap.json")) as f:
        for t in json.load(f)["tests"]:
            modified = 0 if t["reason"] == "no modification" else 1
            lines.append(f"decap {t['ek']} {t['dk']} {t['c']} {t['k']} {modified}")
    return lines


def main():
    vecdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "tests", "vectors")
    out = sys.argv[2] if len(sys.argv) > 2 else "vectors.txt"
    lines = hash_lines() + kem_lines(vecdir)
    with open(out, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
