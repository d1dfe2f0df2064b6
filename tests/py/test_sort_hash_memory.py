#!/usr/bin/env python3
"""A sort of a hash! whose comparison runs out of memory.

When the comparison function fails, the hash! is indexed anew before the error goes on, since
records have moved. That repair runs after the error has unwound the frames to its try; when it
ran out of memory as well, its own error unwound them a second time, past the try, and the
caller's words lost their context ("word is not bound to a context" naming a native, status 254).
Now a comparison that fails while memory is left for the repair gives no-memory to the try, the
hash! still finds its values and the script goes on; when memory is held to the end, the process
ends with run-time error 94 and its report. A build with AddressSanitizer cannot run under a limit
on the address space, so there the test has nothing to run.
"""
import sys

import limits

LIMIT_MB = 1000

PRELUDE = """Kel []
h: make hash! [] repeat i 3000000 [append h i]
"""

# The comparison asks once for more than the limit: the repair has room.
FREED = PRELUDE + """n: 0
f: func [/local kept e][
    kept: "kept"
    e: try [sort/compare h func [a b][n: n + 1 if n = 1000 [make binary! 900000000] a > b]]
    reduce [e/id kept]
]
print mold f
print [length? h pick h index? find h 2999999]
"""

# The comparison keeps everything it asks for: the repair has none.
HELD = PRELUDE + """g: copy []
f: func [/local kept e][
    kept: "kept"
    e: try [sort/compare h func [a b][append g make binary! 5000000 a > b]]
    reduce [e/id kept]
]
print mold f
"""


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    failed = False
    r = limits.run_limited(kel, FREED, LIMIT_MB, timeout=240)
    if r.returncode != 0 or r.stdout.splitlines() != ['[no-memory "kept"]', "3000000 2999999"]:
        print("freed: status", r.returncode, "stdout", r.stdout, "stderr", r.stderr)
        failed = True
    r = limits.run_limited(kel, HELD, LIMIT_MB, timeout=240)
    if not limits.only_error_94(r):
        print("held: status", r.returncode, "stdout", r.stdout, "stderr", r.stderr)
        failed = True
    if failed:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
