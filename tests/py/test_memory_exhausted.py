#!/usr/bin/env python3
"""A script that fills every byte it is allowed keeps running: `try` catches the no-memory error,
and what it held can be let go and recycled. When not even the error value finds room, the process
ends with the run-time error 94, out of memory.

Raising no-memory builds an error value, which allocates. Near the limit that allocation was
refused in turn and raised again, tens of thousands of calls deep, until the process ended with
"assertion failed" (or ran out of native stack); a frame with a little room left was passed
over for a new frame the system then refused; and the collector's work list, refused room to
grow while it marked nested blocks, aborted the process. The limits below are swept because where the last
allocation falls depends on the build; each run must end one of the two ways above. A build with
AddressSanitizer reserves its shadow memory up front and cannot run under such limits.
"""
import sys

import limits

LIMITS_MB = range(120, 301, 20)
# What each round of the loop keeps in b.
FILLERS = ["make string! 100", "make string! 1000", "copy [1 2 3]", "object [x: 1]"]

SCRIPT = """Kel []
b: copy []
r: try [forever [append/only b {filler}]]
print ["caught" all [error? r r/id]]
b: none
recycle
print length? append make string! 100000 "ok"
"""


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    failed = False
    for filler in FILLERS:
        for mb in LIMITS_MB:
            run = limits.run_limited(kel, SCRIPT.format(filler=filler), mb, timeout=300)
            out = run.stdout + run.stderr
            caught = run.returncode == 0 and run.stdout.splitlines() == ["caught no-memory", "2"]
            ended = run.returncode == 94 and "*** Runtime Error 94: out of memory\n" in out
            if not (caught or ended):
                print(f"{filler}, limit {mb} MB: status {run.returncode}\n{out}")
                failed = True
    if failed:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
