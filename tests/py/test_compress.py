#!/usr/bin/env python3
"""compress and decompress against Python's zlib and gzip modules.

Every method (zlib, deflate, gzip) over a table of inputs, in both directions: what Kel packs must
unpack with Python to the same bytes, and what Python packs (stored, fixed and dynamic blocks, at
several levels, in several blocks, with gzip header fields) must unpack with Kel. Corrupt and
truncated streams must raise script invalid-data. One Kel process runs the whole table, passing
the data through files in a temporary folder.
"""
import gzip
import os
import random
import subprocess
import sys
import tempfile
import zlib


def python_pack(method, data, level=6, chunks=1):
    wbits = {"zlib": 15, "deflate": -15, "gzip": 31}[method]
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    out = b""
    step = max(1, len(data) // chunks)
    for i in range(0, len(data), step):
        out += c.compress(data[i:i + step]) + c.flush(zlib.Z_SYNC_FLUSH if chunks > 1 else zlib.Z_NO_FLUSH)
    return out + c.flush()


def skewed_bytes():
    """Bytes 0, 1, 2, ... repeated 1, 1, 2, 3, 5, ... times (21 values, 28,656 bytes)."""
    counts, a, b = [], 1, 1
    for _ in range(21):
        counts.append(a)
        a, b = b, a + b
    return b"".join(bytes([value]) * count for value, count in enumerate(counts))


def python_unpack(method, data):
    if method == "gzip":
        return gzip.decompress(data)
    return zlib.decompress(data, {"zlib": 15, "deflate": -15}[method])


def main():
    kel = sys.argv[1]
    rng = random.Random(int(os.environ.get("KEL_SEED", "1")))
    words = [b"alpha ", b"beta ", b"gamma\n", b"delta delta ", b"\xc3\xa9t\xc3\xa9 "]
    text = b"".join(rng.choice(words) for _ in range(200000))[:1 << 20]
    inputs = {
        "empty": b"",
        "one": b"x",
        "five": b"abcde",
        "repetitive": b"abc" * 10000,
        "run": b"\0" * 100000,
        "random": bytes(rng.getrandbits(8) for _ in range(50000)),
        "megabyte": text,
        "bytes": bytes(range(256)) * 4,
        # Byte frequencies in a Fibonacci progression make Huffman codes of every length up to
        # the format's 15 bits: the long ones are past the inflater's one-look-up table.
        "skewed": bytes(rng.sample(skewed_bytes(), k=len(skewed_bytes()))),
        # Incompressible: the stored length is about the output's.
        "incompressible": bytes(rng.getrandbits(8) for _ in range(300000)),
    }
    methods = ["zlib", "deflate", "gzip"]
    with tempfile.TemporaryDirectory() as tmp:
        def path(name):
            return os.path.join(tmp, name)

        script = ["Kel []"]
        unpack_cases = []   # (file stem, expected bytes)
        for name, data in inputs.items():
            with open(path(f"in-{name}"), "wb") as f:
                f.write(data)
            for m in methods:
                script.append(f"write/binary %{path(f'ours-{m}-{name}')} compress read/binary %{path(f'in-{name}')} (quote {m})")
                # Python's streams in a few shapes: stored, default, best, and several flushed blocks.
                for level, chunks in [(0, 1), (6, 1), (9, 1), (1, 7)]:
                    stem = f"py-{m}-{name}-{level}-{chunks}"
                    with open(path(stem), "wb") as f:
                        f.write(python_pack(m, data, level, chunks))
                    unpack_cases.append((stem, m, data))
        # A gzip member with optional header fields, as other tools write them.
        with open(path("py-named"), "wb") as f:
            f.write(named_member(text[:5000]))
        unpack_cases.append(("py-named", "gzip", text[:5000]))
        # A gzip file of several members (as `cat a.gz b.gz` makes) holds their data joined: the
        # same member twice, empty members, and members of other shapes all count.
        member = gzip.compress(text[:3000])
        empty = gzip.compress(b"")
        members = {
            "py-members": (gzip.compress(b"first ") + named_member(text[:5000]) + python_pack("gzip", text, 1, 7),
                           b"first " + text[:5000] + text),
            "py-members-same": (member + member, text[:3000] * 2),
            "py-members-empty": (empty + member + empty + empty, text[:3000]),
        }
        for stem, (packed, data) in members.items():
            with open(path(stem), "wb") as f:
                f.write(packed)
            unpack_cases.append((stem, "gzip", data))
        for stem, m, _ in unpack_cases:
            script.append(f"write/binary %{path('back-' + stem)} decompress read/binary %{path(stem)} (quote {m})")
        # /size: larger than the data is used as given, smaller is as if none was given; ignored for gzip.
        for m, size in [("zlib", 10), ("zlib", 1 << 21), ("deflate", 3), ("gzip", 7)]:
            stem = f"py-{m}-megabyte-6-1"
            script.append(f"write/binary %{path(f'size-{m}-{size}')} decompress/size read/binary %{path(stem)} (quote {m}) {size}")
        script.append(f"write/binary %{path('string')} compress \"h\u00e9llo h\u00e9llo\" (quote zlib)")

        good = python_pack("zlib", text[:3000])
        good_gz = gzip.compress(text[:3000])
        corrupt = {
            "zlib-truncated": ("zlib", good[:len(good) // 2]),
            "zlib-adler": ("zlib", good[:-1] + bytes([good[-1] ^ 1])),
            "zlib-header": ("zlib", b"\x78\x02" + good[2:]),
            "zlib-dictionary": ("zlib", b"\x78\xbb" + good[2:]),
            "zlib-short": ("zlib", b"\x78"),
            "gzip-crc": ("gzip", good_gz[:-8] + bytes([good_gz[-8] ^ 1]) + good_gz[-7:]),
            "gzip-size": ("gzip", good_gz[:-4] + b"\xff\xff\xff\x7f"),
            "gzip-truncated": ("gzip", good_gz[:40]),
            "gzip-magic": ("gzip", b"\x1f\x8c" + good_gz[2:]),
            "gzip-second-member-truncated": ("gzip", good_gz + good_gz[:40]),
            "gzip-second-member-crc": ("gzip", good_gz + good_gz[:-8] + bytes([good_gz[-8] ^ 1]) + good_gz[-7:]),
            "gzip-after-member": ("gzip", good_gz + b"\x1f\x8b\x08"),
            "deflate-type3": ("deflate", b"\x07\x00"),
            "deflate-distance": ("deflate", bytes.fromhex("4b044200")),
            "deflate-truncated": ("deflate", python_pack("deflate", text[:3000])[:100]),
            "deflate-stored-short": ("deflate", b"\x01\x10\x00\xef\xffab"),
        }
        for name, (m, data) in corrupt.items():
            with open(path(f"bad-{name}"), "wb") as f:
                f.write(data)
            script.append(f"e: try [decompress read/binary %{path('bad-' + name)} (quote {m})] print [{name!r} either error? :e [e/id] [\"no error\"]]".replace("'", '"'))
        # Every shorter part of a stream (fixed codes from Kel, dynamic ones from Python at two
        # levels) is invalid-data: the stream loses its end-of-block code or its check value.
        prefix_streams = {
            "fixed": ("deflate", None),
            "dynamic": ("deflate", python_pack("deflate", text[:6000], 9)),
            "dynamic-skewed": ("deflate", python_pack("deflate", inputs["skewed"][:6000], 6)),
            "zlib": ("zlib", python_pack("zlib", text[:6000], 1)),
        }
        for name, (m, packed) in prefix_streams.items():
            if packed is None:
                script.append(f"packed: compress read/binary %{path('in-megabyte')} (quote {m})")
                script.append("packed: copy/part packed 700")
            else:
                with open(path(f"prefix-{name}"), "wb") as f:
                    f.write(packed)
                script.append(f"packed: read/binary %{path(f'prefix-{name}')}")
            script.append(
                f"bad: 0 repeat k (length? packed) - 1 [e: try [decompress copy/part packed k (quote {m})]"
                f" unless all [error? :e e/id = 'invalid-data] [bad: bad + 1]]")
            script.append(f'print ["prefixes {name}" bad]')
        script.append('print ["method" either error? e: try [compress "x" (quote lzma)] [e/id] ["no error"]]')
        script.append('print ["negative" either error? e: try [decompress/size #{00} (quote zlib) -1] [e/id] ["no error"]]')

        with open(path("run.kel"), "w", encoding="utf-8") as f:
            f.write("\n".join(script) + "\n")
        run = subprocess.run([kel, path("run.kel")], capture_output=True, timeout=240)
        assert run.returncode == 0, run.stdout.decode() + run.stderr.decode()
        failures = []

        def read(name):
            with open(path(name), "rb") as f:
                return f.read()

        for name, data in inputs.items():
            for m in methods:
                try:
                    if python_unpack(m, read(f"ours-{m}-{name}")) != data:
                        failures.append(f"Python unpacks our {m} of {name} to other bytes")
                except Exception as e:  # noqa: BLE001 - any failure is a finding
                    failures.append(f"Python cannot unpack our {m} of {name}: {e}")
        for stem, m, data in unpack_cases:
            if read("back-" + stem) != data:
                failures.append(f"Kel unpacks {stem} to other bytes")
        for m, size in [("zlib", 10), ("zlib", 1 << 21), ("deflate", 3), ("gzip", 7)]:
            if read(f"size-{m}-{size}") != text:
                failures.append(f"decompress/size {m} {size} gives other bytes")
        if zlib.decompress(read("string")) != "h\u00e9llo h\u00e9llo".encode():
            failures.append("a string is not packed as its UTF-8 bytes")
        lines = run.stdout.decode().splitlines()
        expected = ([f"{name} invalid-data" for name in corrupt] + [f"prefixes {name} 0" for name in prefix_streams]
                    + ["method invalid-arg", "negative invalid-arg"])
        if lines != expected:
            failures.append("error lines differ:\n" + "\n".join(lines) + "\nexpected:\n" + "\n".join(expected))
        # Sizes stay sensible: our packing of the repetitive inputs is at most half the input.
        for name in ["repetitive", "run", "megabyte"]:
            size = len(read(f"ours-zlib-{name}"))
            if size * 2 > len(inputs[name]):
                failures.append(f"zlib of {name} is {size} bytes")
    if failures:
        print("\n".join(failures))
        sys.exit(1)
    print("ok")


def named_member(data):
    """A gzip member with FNAME, FCOMMENT and FEXTRA set, as other tools write them."""
    import struct
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = c.compress(data) + c.flush()
    extra = b"AB\x02\x00hi"
    header = b"\x1f\x8b\x08\x1c" + struct.pack("<I", 1234567) + b"\x02\x03"
    header += struct.pack("<H", len(extra)) + extra + b"name.txt\0" + b"a comment\0"
    return header + body + struct.pack("<II", zlib.crc32(data), len(data))


if __name__ == "__main__":
    main()
