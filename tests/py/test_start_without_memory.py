#!/usr/bin/env python3
"""Start-up with too little address space for the run-time's first frames ends with the run-time
error 94, out of memory, and nothing worse. The binary's path is the first argument."""
import subprocess
import sys
import tempfile
import unittest

import limits

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"


class StartWithoutMemory(unittest.TestCase):
    def test_refused_memory_at_start_up_is_out_of_memory(self):
        # 20 MB: enough to load the program and its libraries, not for the run-time's frames.
        if limits.sanitizer_build(KEL, also_undefined=True):
            self.skipTest("a sanitizer build reserves more address space than the limit allows")
        proc = subprocess.run(["bash", "-c", 'ulimit -v 20000; exec "$0" --version', KEL],
                              capture_output=True, text=True, timeout=60)
        out = proc.stdout + proc.stderr
        self.assertEqual(proc.returncode, 94, out)
        self.assertIn("*** Runtime Error 94: out of memory\n", out)

    def test_every_limit_either_starts_or_reports_out_of_memory(self):
        # Where start-up runs short depends on the limit: a refusal before the errors exist ended
        # with "assertion failed". Each limit must run the line or report out of memory: as a
        # run-time error while the system is built, as the uncaught no-memory error once it is;
        # and once one limit runs the line, every larger one must get past start-up.
        if limits.sanitizer_build(KEL, also_undefined=True):
            self.skipTest("a sanitizer build reserves more address space than the limit allows")
        with tempfile.NamedTemporaryFile("w", suffix=".kel") as script:
            script.write("Kel []\nprint 1 + 2\n")
            script.flush()
            started = None
            for kb in range(20000, 60001, 2000):
                proc = subprocess.run(["bash", "-c", f'ulimit -v {kb}; exec "$0" "$1"', KEL, script.name],
                                      capture_output=True, text=True, timeout=60)
                out = proc.stdout + proc.stderr
                with self.subTest(kb=kb):
                    if proc.returncode == 0:
                        self.assertEqual(proc.stdout, "3\n", out)
                        started = started or kb
                    elif proc.returncode in (1, 254):
                        # Refused once the environment is up: the language's error, which nothing
                        # caught (254) or which failed the script while it was loaded (1).
                        self.assertIn("*** Internal Error: not enough memory\n", out)
                    else:
                        # More room never fails to start where less started: under 36 to 46 MB
                        # the interpreter thread's stack took what start-up needed.
                        self.assertIsNone(started, f"started under {started} KB, not under {kb} KB: {out}")
                        self.assertEqual(proc.returncode, 94, out)
                        self.assertIn("*** Runtime Error 94: out of memory\n", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
