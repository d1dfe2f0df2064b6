#!/usr/bin/env python3
"""Kel starts and runs under a limit on its address space.

The node table and the interpreter thread's stack are reservations of address space (512 MiB and
1 GiB). Under limits between about 1.1 and 1.6 GB the two together did not fit: the process ended
with "out of memory" before it ran a line, or later ran short of room for values. Both now take a
share of the limit. Under each limit a script must run, make a block of a few million values, and
still answer a runaway recursion with the stack-overflow error. The interpreter thread's heap
arena was another reservation, of 64 MiB (128 MiB asked first): under a limit of 200 MB it left a
script about 40 MB of strings; the thread now shares the main arena and gets over twice that. A build with AddressSanitizer
reserves its shadow memory up front and cannot start under such a limit, so there the test has
nothing to run.
"""
import sys

import limits

LIMITS_MB = [300, 1100, 1200, 1300, 1400, 1600]

SCRIPT = """Kel []
print 1 + 2
b: make block! 10 loop 2000000 [append b 1] print length? b
f: func [n] [f n + 1]
e: try [f 1] print e/id
"""


# Fills memory with strings of a thousand bytes until it runs out, and counts them.
FILL = """Kel []
n: 0 b: make block! 16
e: try [forever [append b make string! 1000 n: n + 1]]
print [e/id n > 80000]
"""


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    failed = False
    run = limits.run_limited(kel, FILL, 200)
    if run.returncode != 0 or run.stdout.splitlines() != ["no-memory true"]:
        print("strings under 200 MB: status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        failed = True
    for mb in LIMITS_MB:
        run = limits.run_limited(kel, SCRIPT, mb)
        if run.returncode != 0 or run.stdout.splitlines() != ["3", "2000000", "stack-overflow"]:
            print(f"limit {mb} MB: status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
            failed = True
    if failed:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
