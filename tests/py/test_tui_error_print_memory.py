#!/usr/bin/env python3
"""An error raised while a face is painted, whose report cannot be printed for want of memory.

The error stops at the painting's boundary frame and is printed after it has unwound the frames
to there. The face's on-change* handler uses up the memory and raises an error with a message
too big to print: the no-memory error of that printing unwound the frames a second time, down to
the try of the script that runs the view, while the event loop went on above them (the try took
an error the view never gave it). Now the process ends with run-time error 94 and its report.
The test plays the terminal on a pseudo-terminal and limits the address space through prlimit;
a build with AddressSanitizer cannot run under such a limit, so there it has nothing to run.
"""
import os
import re
import select
import shutil
import sys
import tempfile
import time

import limits
import pty_child

LIMIT = 600 << 20
CSI = re.compile(rb"\x1b\[[0-9;?<]*[@-~]")

SCRIPT = """Kel []
big: append/dup make string! 0 "x" 60000000
g: copy []
n: 0
flag: false
o: make object! [
    a: none
    on-change*: func [word old new][
        if flag [
            flag: false
            try [forever [append g make binary! 2100000]]
            try [forever [append g make binary! 10000]]
            remove/part g 5
            recycle
            do make error! big
        ]
    ]
]
blk: bind [a: box 0x0 2x2] o
f: func [/local kept e][
    kept: "kept"
    e: try [
        view [b: base 10x3 draw [line 0x0 5x5] rate 20 on-time [
            n: n + 1
            if n = 2 [b/draw: blk]
            if n = 3 [flag: true b/color: 255.0.0]
            if n > 4 [unview]
        ]]
        'viewed
    ]
    reduce [type? e kept]
]
print mold f
"""


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    prlimit = shutil.which("prlimit")
    if not prlimit:
        print("skipped: no prlimit to limit the address space")
        return 0
    os.environ.pop("KEL_GC_TORTURE", None)
    with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
        f.write(SCRIPT)
        f.flush()
        proc, master, slave, _ = pty_child.start_on_pty([prlimit, f"--as={LIMIT}", kel, f.name], 60, 20)
        try:
            # Each cursor-position request is answered: the drawing starts on the first row.
            out = b""
            answered = 0
            deadline = time.monotonic() + 120
            while proc.poll() is None and time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.1)
                if ready:
                    try:
                        out += os.read(master, 65536)
                    except OSError:
                        break
                while out.count(b"\x1b[6n") > answered:
                    os.write(master, b"\x1b[1;1R")
                    answered += 1
            status = proc.wait(timeout=10)
            # What it wrote before it ended.
            while select.select([master], [], [], 0.2)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                out += chunk
        finally:
            pty_child.stop_on_pty(proc, master, slave)
    text = CSI.sub(b"", out).decode("utf-8", "replace")
    if status != 94 or "*** Runtime Error 94: out of memory" not in text or "[error!" in text:
        print("status", status, "output", text[-2000:])
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
