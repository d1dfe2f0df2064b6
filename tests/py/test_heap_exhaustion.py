#!/usr/bin/env python3
"""Running out of the C++ heap inside a native is a language error, not an abort.

Natives that hand a value to the operating system (set-env, exists?, call) copy its text into a
work area of the C++ heap. Under a limit on the address space a copy of a huge string did not
fit: the exception ended the process with "terminate called" and status 134. Each must now raise
the internal no-memory error, which a try takes, and the script must go on to its end.
A build with AddressSanitizer reserves its shadow memory up front and cannot start under such a
limit, so there that part has nothing to run.

A collection cut short by the same exception left its marks and a busy collector behind, so no
later collection ran; then it ended the process with run-time error 94. It is cut short while
marking, when the work list of blocks to walk cannot grow (the address space is full just when a
collection is most wanted), and marking moves nothing: the marks are taken back and the
allocation is refused with the no-memory error, after which collections work again.
probe_heap_limit (KEL_PROBE_DIR) refuses large C++ heap blocks without any address-space limit,
so that part runs in every build.
"""
import os
import subprocess
import sys

import limits

LIMIT_MB = 1460

SCRIPT = """Kel []
big: append/dup make string! 400000000 "a" 400000000
foreach code [[set-env big big] [exists? to-file big] [call big]] [
    e: try code
    print [first code either error? e [e/id][mold/part :e 20]]
]
print "still running"
"""

EXPECTED = ["set-env no-memory", "exists? no-memory", "call no-memory", "still running"]


PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", ""), "probe_heap_limit")

PROBE_LINES = [
    'x: append/dup make string! 2000000 "a" 2000000 length? x',
    'set-env x "1"',
    "1 + 1",
    # Marking a block of 400,000 blocks queues them all: the queue cannot grow.
    "b: make block! 400000 loop 400000 [append/only b make block! 0] recycle",
    "1 + 1",
    # Dropped, the blocks are collected, and what is made next survives a collection.
    "b: none recycle c: copy/deep [[1] [2]] recycle c",
    "x: make block! 100 loop 1000 [append/only x make block! 0] recycle length? x",
]


def collection_cut_short():
    # Under collection torture every one of the 400,000 allocations would mark the whole block:
    # the collections this needs are the ordinary ones.
    run = subprocess.run([PROBE, str(1 << 20)], input="\n".join(PROBE_LINES) + "\n",
                         capture_output=True, text=True, timeout=120, env=limits.without_torture())
    lines = [line for line in run.stdout.splitlines() if line]
    expected = ["value 2000000", "error internal/no-memory", "value 2", "error internal/no-memory",
                "value 2", "value [[1] [2]]", "value 1000"]
    if run.returncode != 0 or lines != expected:
        print("probe: status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return False
    return True


def main():
    kel = sys.argv[1]
    if not collection_cut_short():
        return 1
    return limits.expect_lines(kel, SCRIPT, LIMIT_MB, EXPECTED)


if __name__ == "__main__":
    sys.exit(main())
