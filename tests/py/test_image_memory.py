#!/usr/bin/env python3
"""An image file larger than memory allows is the no-memory error, not the end of the process.

The image decoder reads a file whole; a sparse file of several gigabytes that starts as a PNG
runs out of memory with the address space limited. The process must answer with the language's
no-memory error and go on to the next line. /dev/zero, which never ends but starts as no image,
is refused at once as a file that cannot be opened as an image. Changing a small image with one
of hundreds of megabytes copies only the pixels written, so it fits in the same limit. A build
with AddressSanitizer reserves its shadow memory up front and cannot start under such a limit,
so there the test has nothing to run.
"""
import os
import sys
import tempfile

import limits

LIMIT_MB = 1024


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    folder = tempfile.TemporaryDirectory()
    big = os.path.join(folder.name, "big.png")
    with open(big, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.truncate(3 << 30)
    script = (
        "Kel []\n"
        f"print mold/flat/part try [system/codecs/png/decode %{big}] 60\n"
        f"print mold/flat/part try [load/as %{big} 'png] 60\n"
        "print mold/flat/part try [load/as %/dev/zero 'png] 60\n"
        "big: make image! 10000x10000 small: make image! [2x1 1.2.3]\n"
        "print mold/flat try [change at small 1 big]\n"
        "print mold/flat small\n"
        "print \"after\"\n"
    )
    with folder:
        run = limits.run_limited(kel, script, LIMIT_MB)
    lines = run.stdout.splitlines()
    expected = "make error! [code: 902 type: 'internal id: 'no-memory"
    refused = "make error! [code: 500 type: 'access id: 'cannot-open"
    ok = (run.returncode == 0 and len(lines) == 6 and all(l.startswith(expected) for l in lines[:2])
          and lines[2].startswith(refused) and lines[3] == "make image! [2x1 #{}]"
          and lines[4] == "make image! [2x1 #{010203FFFFFF}]" and lines[5] == "after")
    if not ok:
        print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
