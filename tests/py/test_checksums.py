#!/usr/bin/env python3
"""Differential tests of `checksum` against Python's zlib, hashlib and hmac.

One script runs every case through the console binary and prints one line per result; Python
computes the same lines. The inputs cover the lengths where the digests' padding changes blocks
(55, 56, 63, 64, 111, 112, 127, 128 bytes and their neighbours), inputs longer than the run-time's
own piece sizes, strings of 1-, 2- and 4-byte characters hashed as UTF-8, values taken from a
position past their head, and HMAC keys shorter than, equal to and longer than the block.
The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import hashlib
import hmac
import os
import random
import subprocess
import sys
import tempfile
import zlib

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "kel")
DIGESTS = ["md5", "sha1", "sha256", "sha384", "sha512"]


def internet_checksum(data):
    """RFC 1071: big-endian 16-bit words with end-around carry, an odd byte padded with a zero."""
    if len(data) % 2:
        data = data + b"\0"
    total = sum((data[i] << 8) | data[i + 1] for i in range(0, len(data), 2))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def signed32(v):
    return v - (1 << 32) if v & 0x80000000 else v


def hexs(b):
    return b.hex().upper()


def kel_binary(b):
    return "#{" + hexs(b) + "}"


def kel_value(item):
    """A Kel expression for an input: binary! bytes, or a string! made by decoding UTF-8."""
    kind, data = item
    return kel_binary(data) if kind == "binary" else "to string! " + kel_binary(data.encode("utf-8"))


def data_bytes(item, skip):
    kind, data = item
    if kind == "binary":
        return data[skip:]
    return data[skip:].encode("utf-8")


def main():
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print("seed", seed)
    rng = random.Random(seed)
    rand_bytes = lambda n: bytes(rng.randrange(256) for _ in range(n))

    items = []
    for n in [0, 1, 2, 3, 54, 55, 56, 57, 63, 64, 65, 111, 112, 113, 119, 120, 127, 128, 129, 1000, 4097]:
        items.append(("binary", rand_bytes(n)))
    items.append(("binary", rand_bytes(70001)))
    items.append(("string", ""))
    items.append(("string", "The quick brown fox jumps over the lazy dog"))
    items.append(("string", "déjà vu ÿ"))                      # Latin-1 range, two UTF-8 bytes each
    items.append(("string", "Ǆ€ 中文 " * 9))                      # 2-byte units
    items.append(("string", "𝄞 music 🎵" * 7))                   # 4-byte units
    pool = "abcdefgh é ü € 中 𝄞"
    items.append(("string", "".join(rng.choice(pool) for _ in range(6000))))  # past the piece size
    items.append(("string", "x" * 3000 + "€" * 2000 + "y" * 5000))

    lines, expected = [], []
    for i, item in enumerate(items):
        lines.append(f"d: {kel_value(item)}")
        skips = [0] if len(item[1]) < 4 else [0, 3]
        for skip in skips:
            data = data_bytes(item, skip)
            v = f"skip d {skip}"
            for method, value in [
                ("crc32", signed32(zlib.crc32(data))),
                ("adler32", signed32(zlib.adler32(data))),
                ("tcp", internet_checksum(data)),
            ]:
                lines.append(f"print [{i} {skip} {{{method}}} checksum {v} '{method}]")
                expected.append(f"{i} {skip} {method} {value}")
            for method in DIGESTS:
                lines.append(f"print [{i} {skip} {{{method}}} enbase/base checksum {v} '{method} 16]")
                expected.append(f"{i} {skip} {method} {hexs(hashlib.new(method, data).digest())}")

    # HMAC: keys around both block sizes, as binary! and as string! (UTF-8, wide characters).
    keys = [("binary", b""), ("binary", b"k"), ("string", "Jefe"), ("string", "clé 🔑")]
    keys += [("binary", rand_bytes(n)) for n in [20, 63, 64, 65, 127, 128, 129, 300]]
    messages = [items[0], items[4], items[14], items[-3]]
    for k, key in enumerate(keys):
        lines.append(f"key: {kel_value(key)}")
        key_bytes = data_bytes(key, 0)
        for m, message in enumerate(messages):
            lines.append(f"d: {kel_value(message)}")
            for method in DIGESTS:
                mac = hmac.new(key_bytes, data_bytes(message, 0), method).digest()
                lines.append(f"print [{k} {m} {{{method}}} enbase/base checksum/with d '{method} key 16]")
                expected.append(f"{k} {m} {method} {hexs(mac)}")

    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write("Kel []\n" + "\n".join(lines) + "\n")
        script = f.name
    try:
        run = subprocess.run([KEL, script], capture_output=True, text=True, timeout=240)
    finally:
        os.unlink(script)
    got = run.stdout.split("\n")
    if got and got[-1] == "":
        got.pop()
    failures = [(e, g) for e, g in zip(expected, got) if e != g]
    if len(got) != len(expected):
        print(f"expected {len(expected)} lines, got {len(got)}; status {run.returncode}")
        print(run.stdout[-2000:], run.stderr[-2000:])
        return 1
    for e, g in failures[:20]:
        print("expected:", e)
        print("     got:", g)
    print(f"{len(expected) - len(failures)} of {len(expected)} results agree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
