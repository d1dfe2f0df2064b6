#!/usr/bin/env python3
"""call/output capturing more than memory holds raises no-memory, and the child does not outlive
the error: its pipe was left open, so a child still writing waited for ever (one blocked process
and one descriptor more for each such call)."""
import sys
import tempfile

import limits

SCRIPT = """Kel []
marker: %{folder}/ended
open-count: does [length? read %/proc/self/fd/]
before: open-count
foreach target [#{{}} ""] [
    out: copy target
    e: try [call/shell/output rejoin ["head -c 400000000 /dev/zero; echo x > " to-local-file marker] out]
    print e/id
    out: e: none recycle
    ; With its pipe closed the writer ends, and the rest of the command runs.
    loop 200 [if exists? marker [break] wait 0.05]
    print exists? marker
    attempt [delete marker]
]
print before = open-count
"""


def main():
    kel = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        return limits.expect_lines(kel, SCRIPT.format(folder=folder), 600,
                                   ["no-memory", "true", "no-memory", "true", "true"])


if __name__ == "__main__":
    sys.exit(main())
