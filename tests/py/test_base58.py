#!/usr/bin/env python3
"""Differential tests of `enbase` and `debase` against Python's own arithmetic and codecs.

Base 58 is a whole-number conversion, so Python's big integers give the expected text. The
inputs cover every length up to past two 64-bit limbs, lengths around the limb and chunk sizes,
runs of leading zero bytes (each a "1"), all-zero and all-0xFF data, numbers just around powers
of 58^10 (where a division's estimate of the quotient needs correcting) and random data long
enough to take many sweeps. Each text is decoded back, and bases 2, 16 and 64 are checked on
the same data. The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import base64
import os
import random
import subprocess
import sys
import tempfile

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "kel")
ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def b58(data):
    n = int.from_bytes(data, "big")
    digits = []
    while n:
        n, r = divmod(n, 58)
        digits.append(ALPHABET[r])
    zeros = len(data) - len(data.lstrip(b"\0"))
    return "1" * zeros + "".join(reversed(digits))


def to_bytes(n):
    return n.to_bytes((n.bit_length() + 7) // 8, "big")


def main():
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print("seed", seed)
    rng = random.Random(seed)
    rand_bytes = lambda n: bytes(rng.randrange(256) for _ in range(n))

    items = [rand_bytes(n) for n in range(0, 41)]
    items += [rand_bytes(n) for n in [63, 64, 65, 79, 80, 81, 255, 256, 1000, 4097, 20000]]
    items += [b"\0" * z + rand_bytes(n) for z in [1, 2, 9] for n in [0, 1, 7, 8, 9, 300]]
    items += [b"\0" * n for n in [1, 8, 17]] + [b"\xff" * n for n in [1, 7, 8, 9, 16, 200]]
    items += [b"\x01" + b"\0" * n for n in [7, 8, 16, 100]]
    for k in [1, 2, 3, 5, 40]:
        p = 58 ** (10 * k)
        items += [to_bytes(v) for v in [p - 1, p, p + 1, 2 * p - 1, p * p - 1, (p - 1) * (1 << 64)]]
    items += [to_bytes(rng.randrange(58 ** 200)) * 3 for _ in range(5)]

    lines, expected = [], []
    for i, data in enumerate(items):
        hx = data.hex().upper()
        text = b58(data)
        lines.append(f"d: #{{{hx}}}")
        lines.append(f"print [{i} 58 enbase/base d 58]")
        expected.append(f"{i} 58 {text}".rstrip())
        lines.append(f"print [{i} 'back enbase/base debase/base {{{text}}} 58 16]")
        expected.append(f"{i} back {hx}".rstrip())
        lines.append(f"print [{i} 64 enbase d]")
        expected.append(f"{i} 64 {base64.b64encode(data).decode()}".rstrip())
        lines.append(f"print [{i} 16 enbase/base d 16]")
        expected.append(f"{i} 16 {hx}".rstrip())
        if len(data) <= 300:
            bits = "".join(f"{b:08b}" for b in data)
            lines.append(f"print [{i} 2 enbase/base d 2]")
            expected.append(f"{i} 2 {bits}".rstrip())

    # Text taken as UTF-8, and text that is not base 58.
    for s in ["hello world", "déjà vu 𝄞", ""]:
        lines.append(f"print [{{utf8}} enbase/base {{{s}}} 58]")
        expected.append(f"utf8 {b58(s.encode('utf-8'))}".rstrip())
    for bad in ["0", "O", "I", "l", "12+3", "abc_"]:
        lines.append(f"print [{{bad}} none? debase/base {{{bad}}} 58]")
        expected.append("bad true")

    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("Kel []\n" + "\n".join(lines) + "\n")
        script = f.name
    try:
        run = subprocess.run([KEL, script], capture_output=True, text=True, timeout=240)
    finally:
        os.unlink(script)
    got = [g.rstrip() for g in run.stdout.split("\n")]
    if got and got[-1] == "":
        got.pop()
    if len(got) != len(expected):
        print(f"expected {len(expected)} lines, got {len(got)}; status {run.returncode}")
        print(run.stdout[-2000:], run.stderr[-2000:])
        return 1
    failures = [(e, g) for e, g in zip(expected, got) if e != g]
    for e, g in failures[:20]:
        print("expected:", e[:300])
        print("     got:", g[:300])
    print(f"{len(expected) - len(failures)} of {len(expected)} results agree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
