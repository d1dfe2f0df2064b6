#!/usr/bin/env python3
"""transcode/into a block that cannot grow further, on a text with a syntax error.

After the syntax error has unwound the frames to the script's try, the values read so far are
appended to the /into block. A block of 2^26 values cannot double past the largest series, and
that growth was refused with no-memory raised at once: a second error that unwound the frames
again, past the try, so the caller's words lost their context ("word is not bound to a
context", status 254). Now the process ends with run-time error 94 and its report, as when the
memory runs out there.
"""
import subprocess
import sys
import tempfile

import limits

SCRIPT = """Kel []
out: make block! 67108864
append/dup out 1 67108864
f: func [/local kept e][
    kept: "kept"
    e: try [transcode/into "1 #[" out]
    reduce [either error? e [e/id][type? e] kept]
]
h: func [/local kept e][
    kept: "outer"
    e: try [f]
    reduce [e kept]
]
print mold h
"""


def main():
    kel = sys.argv[1]
    with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
        f.write(SCRIPT)
        f.flush()
        run = subprocess.run([kel, f.name], capture_output=True, text=True, timeout=240,
                             env=limits.without_torture())
    if not limits.only_error_94(run):
        print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
