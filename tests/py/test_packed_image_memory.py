#!/usr/bin/env python3
"""A packed kelbin image that unpacks to more than memory holds.

The LZ stream of a packed image gives its unpacked size in its header, and a few megabytes of
runs (one literal, then matches of 566 bytes at distance 1) can unpack to gigabytes. Under a limit
on the address space, decoding such an image must raise the no-memory error and leave the script
running, not end the process. A build with AddressSanitizer cannot run under such a limit, so
there the test has nothing to run.
"""
import os
import struct
import subprocess
import sys
import tempfile

import limits

LIMIT_MB = 1200
BLOCK = 0x100000
BLOCKS = 2048  # 2 GiB unpacked from about 10 MB


class Bits:
    def __init__(self):
        self.acc = self.count = 0
        self.out = bytearray()

    def put(self, value, bits):
        self.acc |= value << self.count
        self.count += bits
        while self.count >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.count -= 8

    def done(self):
        self.put(0, 7)  # end of block
        if self.count:
            self.put(0, 8 - self.count)
        return bytes(self.out)


def run_block():
    """One block of BLOCK zero bytes: a literal, then long matches at distance 1."""
    w = Bits()
    w.put(0, 1)
    w.put(0, 8)
    left = BLOCK - 1
    while left:
        length = min(left, 566)
        w.put(1, 1)
        w.put(0, 5)  # the longest length code
        w.put(length - 55, 9)
        w.put(0, 4)  # distance 1
        w.put(0, 3)
        left -= length
    return w.done()


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, "plain.bin")
        script = os.path.join(tmp, "make.kel")
        with open(script, "w") as f:
            f.write(f"Kel []\nwrite/binary %{plain} system/codecs/kelbin/encode* [1 2 3] false\n")
        subprocess.run([kel, script], check=True, timeout=60)
        with open(plain, "rb") as f:
            header = bytearray(f.read(8))
        header[7] |= 0x02  # packed
        block = struct.pack("<I", BLOCK) + run_block()
        body = block * BLOCKS
        packed = os.path.join(tmp, "packed.bin")
        with open(packed, "wb") as f:
            f.write(bytes(header) + struct.pack("<II", len(body), BLOCK * BLOCKS) + body)
        run = limits.run_limited(kel, "Kel []\n"
                                 f"e: try [system/codecs/kelbin/decode read/binary %{packed}]\n"
                                 "print either error? e [e/id] [\"no error\"]\n"
                                 "print \"still running\"\n", LIMIT_MB, timeout=240)
        if run.returncode != 0 or run.stdout.splitlines() != ["no-memory", "still running"]:
            print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
            return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
