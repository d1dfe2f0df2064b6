#!/usr/bin/env python3
"""A map! that runs out of memory as it takes a new key.

The pair was appended to the map's entries before its table grew to take the key; when that
growth was refused, the no-memory error left a key that the entries held and lookups missed:
length? and keys-of disagreed, and putting the same key again added it a second time. Now the
pair goes again when the table cannot take it. A build with AddressSanitizer cannot run under a
limit on the address space, so there the test has nothing to run.
"""
import sys

import limits

LIMIT_MB = 600

SCRIPT = """Kel []
m: make map! []
repeat i 100000 [m/(i): i]
g: copy []
last-i: 0
f: func [/local kept e][
    kept: "kept"
    try [forever [append g make binary! 2100000]]
    try [forever [append g make binary! 10000]]
    e: try [repeat i 3000000 [last-i: 100000 + i m/(last-i): last-i]]
    clear g
    reduce [either error? e [e/id][type? e] kept]
]
print mold f
recycle
print [(length? m) = length? keys-of m  (length? m) = length? values-of m  m/(last-i)  m/(last-i - 1) = (last-i - 1)]
m/(last-i): 7
n: 0 foreach [k v] m [if k = last-i [n: n + 1]]
print [(length? m) = length? keys-of m  m/(last-i) n]
"""

EXPECTED = [
    '[no-memory "kept"]',
    "true true none true",
    "true 7 1",
]


def main():
    kel = sys.argv[1]
    return limits.expect_lines(kel, SCRIPT, LIMIT_MB, EXPECTED, timeout=240)


if __name__ == "__main__":
    sys.exit(main())
