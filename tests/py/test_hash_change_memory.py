#!/usr/bin/env python3
"""change and insert on a hash! that run out of memory while the hash! is indexed anew.

The block has its new cells by then; the table work (new arrays, the position index, the chains
of equal keys) failed part way and the no-memory error went to the script's try, leaving a table
that named cells holding other values and missed the new ones: find gave none for a value the
block held. Now the table is indexed anew before the error goes on, and finds every value. Memory
is filled first and a few megabytes given back, so that the change itself fits and the indexing
does not. A build with AddressSanitizer cannot run under a limit on the address space, so there
the test has nothing to run.
"""
import sys

import limits

LIMIT_MB = 600

SCRIPT = """Kel []
g: copy []
h: none
fresh: does [h: make hash! [] repeat i 200000 [append h i append h i]]
fill: does [
    try [forever [append g make binary! 2100000]]
    try [forever [append g make binary! 1000000]]
    try [forever [append g make binary! 10000]]
    remove/part g 4
    recycle
]
run: func [op /local kept e][
    kept: "kept"
    fresh
    fill
    e: try [do op]
    clear g
    recycle
    print [either error? e [e/id][type? e] kept length? h first h index? find h 0 index? find h 1
        index? find/last h 1 index? find/last h 150000 select h 199999]
    h: none
    recycle
]
run [change h 0]
run [insert h 0]
"""

EXPECTED = [
    "no-memory kept 400000 0 1 2 2 300000 199999",
    "no-memory kept 400001 0 1 2 3 300001 199999",
]


def main():
    kel = sys.argv[1]
    return limits.expect_lines(kel, SCRIPT, LIMIT_MB, EXPECTED, timeout=240)


if __name__ == "__main__":
    sys.exit(main())
