#!/usr/bin/env python3
"""transcode/into/trace whose callback fails after it has used up the memory.

After the callback's error has unwound the frames to the script's try, the lexer closes the
blocks still open so that the /into block keeps what was read. That work needs memory; when none
was left it raised no-memory, a second error that unwound the frames again, past the try, and the
caller's words lost their context ("word is not bound to a context", status 254). Now the process
ends with run-time error 94 and its report. A build with AddressSanitizer cannot run under a limit
on the address space, so there the test has nothing to run.
"""
import sys

import limits

LIMIT_MB = 600

SCRIPT = """Kel []
g: copy []
err: make error! "callback"
cb: func [event input type line token] [[error]
    try [forever [append g make binary! 1000000]]
    try [forever [append g make binary! 10000]]
    do err
]
src: copy "" loop 50 [append src "[" append/dup src "1 " 20000]
out: copy []
f: func [/local kept e] [
    kept: "kept"
    e: try [transcode/into/trace src out :cb]
    reduce [e/id kept]
]
h: func [/local kept e] [
    kept: "outer"
    e: try [f]
    reduce [e kept]
]
print mold h
"""


def main():
    kel = sys.argv[1]
    if limits.skip_sanitizer_build(kel):
        return 0
    run = limits.run_limited(kel, SCRIPT, LIMIT_MB, timeout=120)
    if not limits.only_error_94(run):
        print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
