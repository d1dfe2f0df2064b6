#!/usr/bin/env python3
"""Image pixels against Python's own reading and writing of PNG and BMP files.

Python builds PNG files with zlib and struct (colour types 0, 2, 3 with a transparency chunk, 4
and 6; bit depths 1 to 16; every row filter) and BMP files with struct; Kel loads each and prints
its pixels, which must be what Python put there. In the other direction Kel saves an image as
PNG and BMP, and Python decodes those files itself (inflating and unfiltering the PNG) and must
find the same pixels. One Kel process runs the whole table through files in a temporary folder.
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def filtered(rows, bpp, rng):
    """Rows of raw bytes, each behind a random filter type (0-4) applied as the format defines."""
    out = b""
    prev = bytes(len(rows[0]))
    for row in rows:
        f = rng.randrange(5)
        enc = bytearray()
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 0:
                p = 0
            elif f == 1:
                p = a
            elif f == 2:
                p = b
            elif f == 3:
                p = (a + b) // 2
            else:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                p = a if pa <= pb and pa <= pc else b if pb <= pc else c
            enc.append((x - p) & 0xFF)
        out += bytes([f]) + bytes(enc)
        prev = row
    return out


def pack_samples(samples, depth):
    if depth == 8:
        return bytes(samples)
    if depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    out, acc, n = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        n += depth
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    return bytes(out)


def make_png(width, height, colour_type, depth, pixels, rng, palette=None, trns=None):
    """pixels: per pixel the list of samples of the colour type."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    bpp = max(1, channels * depth // 8)
    rows = []
    for y in range(height):
        samples = [s for p in pixels[y * width:(y + 1) * width] for s in p]
        rows.append(pack_samples(samples, depth))
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0))
    if palette:
        data += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if trns is not None:
        data += chunk(b"tRNS", trns)
    data += chunk(b"IDAT", zlib.compress(filtered(rows, bpp, rng)))
    return data + chunk(b"IEND", b"")


def expected_rgba(colour_type, depth, p, palette=None, alphas=None):
    scale = lambda v: v >> 8 if depth == 16 else v * 255 // ((1 << depth) - 1)
    if colour_type == 0:
        g = scale(p[0])
        return (g, g, g, 255)
    if colour_type == 2:
        return tuple(scale(v) for v in p) + (255,)
    if colour_type == 3:
        r, g, b = palette[p[0]]
        return (r, g, b, alphas[p[0]] if p[0] < len(alphas) else 255)
    if colour_type == 4:
        g = scale(p[0])
        return (g, g, g, scale(p[1]))
    return tuple(scale(v) for v in p)


def read_png(data):
    """Decodes an 8-bit RGB or RGBA PNG (as Kel writes them) to RGBA tuples."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        n, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour_type = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        at += 12 + n
    assert depth == 8 and colour_type in (2, 6)
    bpp = 3 if colour_type == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    prev = bytearray(stride)
    out = []
    for y in range(height):
        f = raw[y * (stride + 1)]
        row = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                row[i] = (row[i] + a) & 0xFF
            elif f == 2:
                row[i] = (row[i] + b) & 0xFF
            elif f == 3:
                row[i] = (row[i] + (a + b) // 2) & 0xFF
            elif f == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        prev = row
        for x in range(width):
            px = tuple(row[x * bpp:(x + 1) * bpp])
            out.append(px if bpp == 4 else px + (255,))
    return width, height, out


def read_bmp(data):
    """Decodes a 32-bit bit-field BMP (as Kel writes them) to RGBA tuples."""
    offset, = struct.unpack("<I", data[10:14])
    width, height, planes, bits, compression = struct.unpack("<iiHHI", data[18:34])
    masks = struct.unpack("<IIII", data[54:70])
    assert bits == 32 and compression == 3 and masks == (0xFF0000, 0xFF00, 0xFF, 0xFF000000)
    rows = []
    for y in range(height):
        row = data[offset + y * width * 4:offset + (y + 1) * width * 4]
        rows.append([(row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]) for x in range(width)])
    return width, height, [p for row in reversed(rows) for p in row]


def argb_hex(rgba):
    """The image's argb view (stored B, G, R, A bytes) as Kel molds it."""
    return "#{" + "".join("%02X%02X%02X%02X" % (b, g, r, a) for r, g, b, a in rgba) + "}"


def main():
    kel = sys.argv[1]
    rng = random.Random(int(os.environ.get("KEL_SEED", "7")))
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        cases = []  # (name, expected argb text)
        palette = [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(16)]
        alphas = [rng.randrange(256) for _ in range(10)]
        for colour_type, depths in ((0, (1, 2, 4, 8, 16)), (2, (8, 16)), (3, (1, 2, 4, 8)), (4, (8, 16)), (6, (8, 16))):
            for depth in depths:
                width, height = rng.randrange(1, 9), rng.randrange(1, 6)
                channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
                top = min((1 << depth) - 1, len(palette) - 1) if colour_type == 3 else (1 << depth) - 1
                pixels = [[rng.randrange(top + 1) for _ in range(channels)] for _ in range(width * height)]
                if depth == 16:
                    # 16-bit samples reach 8 bits through libpng's own scaling: use values whose
                    # high byte is exact.
                    pixels = [[s & 0xFF00 | s >> 8 for s in p] for p in pixels]
                png = make_png(width, height, colour_type, depth, pixels, rng,
                               palette=palette[:top + 1] if colour_type == 3 else None,
                               trns=bytes(alphas[:top + 1]) if colour_type == 3 else None)
                name = f"t{colour_type}d{depth}.png"
                with open(os.path.join(tmp, name), "wb") as f:
                    f.write(png)
                rgba = [expected_rgba(colour_type, depth, p, palette, alphas) for p in pixels]
                cases.append((name, f"{width}x{height} " + argb_hex(rgba)))
        # BMPs built with struct: 24-bit rows (padded); an OS/2 core header (3-byte palette
        # entries); run-length data with literal runs, line ends, a jump and an early end.
        width, height = 3, 2
        rgb = [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(width * height)]
        stride = (width * 3 + 3) // 4 * 4
        body = b""
        for y in reversed(range(height)):
            row = b"".join(bytes((b, g, r)) for r, g, b in rgb[y * width:(y + 1) * width])
            body += row + bytes(stride - len(row))
        header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 2835, 2835, 0, 0)
        bmp = b"BM" + struct.pack("<IHHI", 14 + 40 + len(body), 0, 0, 54) + header + body
        with open(os.path.join(tmp, "rgb.bmp"), "wb") as f:
            f.write(bmp)
        cases.append(("rgb.bmp", f"{width}x{height} " + argb_hex([c + (255,) for c in rgb])))

        def write_bmp(name, info, palette, body):
            head = info + palette
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(b"BM" + struct.pack("<IHHI", 14 + len(head) + len(body), 0, 0, 14 + len(head)) + head + body)

        colours = [(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(4)]
        quad = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
        opaque = [c + (255,) for c in colours]
        clear = (0, 0, 0, 0)
        # OS/2: 10x2 at one bit a pixel, rows bottom-up and padded to four bytes.
        bits = [[rng.randrange(2) for _ in range(10)] for _ in range(2)]
        body = b""
        for row in reversed(bits):
            word = int("".join(map(str, row)).ljust(32, "0"), 2)
            body += struct.pack(">I", word)
        write_bmp("os2.bmp", struct.pack("<IHHHH", 12, 10, 2, 1, 1),
                  b"".join(bytes((b, g, r)) for r, g, b in colours[:2]), body)
        cases.append(("os2.bmp", "10x2 " + argb_hex([opaque[i] for row in bits for i in row])))
        # RLE8, 4x2. Bottom row: a literal run of three (padded to a word), a run of one, line end.
        # Top row: a run of two, a jump over one pixel, a run of one, the end of the bitmap.
        write_bmp("rle8.bmp", struct.pack("<IiiHHIIiiII", 40, 4, 2, 1, 8, 1, 0, 0, 0, 4, 0), quad,
                  bytes((0, 3, 0, 1, 2, 0, 1, 3, 0, 0, 2, 1, 0, 2, 1, 0, 1, 2, 0, 1)))
        cases.append(("rle8.bmp", "4x2 " + argb_hex([opaque[1], opaque[1], clear, opaque[2],
                                                      opaque[0], opaque[1], opaque[2], opaque[3]])))
        # RLE4, 6x1: a literal run of five nibbles (three bytes and a pad byte); the data then ends
        # without an end marker, leaving the last pixel clear.
        write_bmp("rle4.bmp", struct.pack("<IiiHHIIiiII", 40, 6, 1, 1, 4, 2, 0, 0, 0, 4, 0), quad,
                  bytes((0, 5, 0x01, 0x23, 0x10, 0)))
        cases.append(("rle4.bmp", "6x1 " + argb_hex([opaque[0], opaque[1], opaque[2], opaque[3], opaque[1], clear])))

        saved = [(rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice((0, 1, 128, 254, 255)))
                 for _ in range(5 * 4)]
        rgb_bytes = "".join("%02X%02X%02X" % p[:3] for p in saved)
        alpha_bytes = "".join("%02X" % (255 - p[3]) for p in saved)
        script = ["Kel []", f"img: make image! [5x4 #{{{rgb_bytes}}} #{{{alpha_bytes}}}]",
                  "save %out.png img", "save %out.bmp img"]
        for name, _ in cases:
            script.append(f'i: load %{name} print ["{name}" mold i/size mold/flat i/argb]')
        with open(os.path.join(tmp, "run.kel"), "w") as f:
            f.write("\n".join(script) + "\n")
        run = subprocess.run([kel, "run.kel"], cwd=tmp, capture_output=True, text=True, timeout=120)
        lines = run.stdout.splitlines()
        if run.returncode != 0 or len(lines) != len(cases):
            print("kel failed:", run.returncode, run.stdout, run.stderr)
            return 1
        for (name, expected), line in zip(cases, lines):
            if line != f"{name} {expected}":
                failures += 1
                print(f"FAIL {name}\n  kel:      {line}\n  expected: {name} {expected}")
        for name, reader in (("out.png", read_png), ("out.bmp", read_bmp)):
            with open(os.path.join(tmp, name), "rb") as f:
                width, height, pixels = reader(f.read())
            if (width, height, pixels) != (5, 4, saved):
                failures += 1
                print(f"FAIL {name}: Python reads {width}x{height} {pixels}")
    print(f"{len(cases) + 2 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
