#!/usr/bin/env python3
"""Running out of memory is reported as the no-memory error, and the script goes on.

Making that error takes node handles and series room as well. When a script had filled the node
table (a deep copy of a widely shared block) or the series frames (millions of small blocks under
a limit on the address space), making the error failed again in the same way: the error was
raised again without end, ending in "assertion failed" or in one full collection per attempt,
which looked like a hang. Both scripts must now catch the error, drop what they built and go on.

The room kept back for making the error was given up whole at a refusal: a script that caught the
error and went on filling memory took the rest of it, and the next refusal, with no room left to
make its error, ended the process with run-time error 94. Now each error takes only the little it
needs, so a script keeping all it made can be refused again and again.
"""
import subprocess
import sys

import limits

CASES = [
    # A deep copy of a block shared 2^40 ways runs out of node handles first.
    (2000, """Kel []
x: [1]
loop 40 [x: reduce [x x]]
e: try [copy/deep x]
print e/id
x: e: none recycle
print length? copy/deep [[1] [2]]
"""),
    # Small blocks that stay reachable fill the series frames.
    (600, """Kel []
b: make block! 10
e: try [loop 50000000 [append/only b make block! 0]]
print e/id
b: e: none recycle
print length? copy/deep [[1] [2]]
"""),
    # Blocks that stay reachable, refused again and again.
    (200, """Kel []
b: make block! 10
loop 20 [e: try [forever [append/only b make block! 10]]]
print e/id
b: e: none recycle
print length? copy/deep [[1] [2]]
"""),
]


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    failed = False
    for mb, script in CASES:
        try:
            run = limits.run_limited(kel, script, mb)
        except subprocess.TimeoutExpired:
            print(f"limit {mb} MB: no answer within 120 s")
            failed = True
            continue
        if run.returncode != 0 or run.stdout.splitlines() != ["no-memory", "2"]:
            print(f"limit {mb} MB: status", run.returncode, "stdout", run.stdout[-500:], "stderr", run.stderr[-500:])
            failed = True
    if failed:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
