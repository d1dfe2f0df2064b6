#!/usr/bin/env python3
"""Loading a text too big for memory is the no-memory error, and the script goes on.

Under a limit on the address space, transcode and load of a huge text ran out in three ways:
- the UTF-8 copy of a string source, or the growth of the lexer's value buffer, came from the
  run-time heap, whose exhaustion ended the process with run-time error 94;
- after the first error the lexer still closed the open blocks and built the whole result, which
  ran out again: that second error unwound the frames once more, past the try that had taken the
  first one, so the caller's words lost their context ("word is not bound to a context" naming a
  native) and the run ended with status 254.
With /into, the block keeps the values read before a syntax error but not before running out
of memory. Each size below must give no-memory inside the try, leave the function's locals intact, and
transcode must still work afterwards. A build with AddressSanitizer cannot run under such a limit,
so there the test has nothing to run.
"""
import sys

import limits

LIMIT_MB = 1000

SCRIPT = """Kel []
probe: func [text /local kept e][
    kept: "kept"
    e: try [transcode text]
    reduce [either error? e [e/id][type? e] kept]
]
foreach n [10000000 30000000] [
    s: append/dup make string! 0 "[a b] " n
    print ["string" n probe s]
    print ["load" n either error? e: try [load s] [e/id][type? e]]
    s: none recycle
]
into: func [text /local kept e][
    kept: copy []
    e: try [transcode/into text kept]
    reduce [either error? e [e/id][type? e] length? kept]
]
s: append/dup make string! 0 "[a b] " 10000000
print ["into" into s]
s: none recycle
print mold transcode "[a b] c"
"""

EXPECTED = [
    "string 10000000 no-memory kept",
    "load 10000000 no-memory",
    "string 30000000 no-memory kept",
    "load 30000000 no-memory",
    "into no-memory 0",
    "[[a b] c]",
]


def main():
    kel = sys.argv[1]
    return limits.expect_lines(kel, SCRIPT, LIMIT_MB, EXPECTED, timeout=240)


if __name__ == "__main__":
    sys.exit(main())
