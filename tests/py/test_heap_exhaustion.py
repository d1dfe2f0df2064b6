#!/usr/bin/env python3
"""Running out of the C++ heap inside a native is a language error, not an abort.

Natives that hand a value to the operating system (set-env, exists?, call) copy its text into a
work area of the C++ heap. Under a limit on the address space a copy of a huge string did not
fit: the exception ended the process with "terminate called" and status 134. Each must now raise
the internal no-memory error, which a try takes, and the script must go on to its end.
A build with AddressSanitizer reserves its shadow memory up front and cannot start under such a
limit, so there the test has nothing to run.
"""
import resource
import subprocess
import sys
import tempfile

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


def main():
    kel = sys.argv[1]
    with open(kel, "rb") as f:
        if b"__asan_init" in f.read():
            print("skipped: the sanitizer build cannot run under an address-space limit")
            return 0
    size = LIMIT_MB << 20

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (size, size))

    with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
        f.write(SCRIPT)
        f.flush()
        run = subprocess.run([kel, f.name], capture_output=True, text=True, timeout=120, preexec_fn=limit)
    if run.returncode != 0 or run.stdout.splitlines() != EXPECTED:
        print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
