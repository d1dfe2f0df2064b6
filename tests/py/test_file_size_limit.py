#!/usr/bin/env python3
"""A file size limit (ulimit -f): a write that passes it is an error the script can catch, and the
run goes on; the limit's signal, left at its default by the parent, ended the whole run instead.
Standard output redirected to a file that reaches the limit is an output error; a program that
call starts meets the limit as it would started from a shell."""
import os
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

KEL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "kel"
LIMIT = 8192


def limited():
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)


class FileSizeLimit(unittest.TestCase):
    def run_kel(self, folder, text, stdout=subprocess.PIPE):
        path = os.path.join(folder, "s.kel")
        with open(path, "w") as f:
            f.write("Kel []\n" + text + "\n")
        return subprocess.run([KEL, path], stdout=stdout, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, cwd=folder, env=dict(os.environ, HOME=folder),
                              preexec_fn=limited, timeout=60)

    def test_writes_past_the_limit_are_errors(self):
        with tempfile.TemporaryDirectory() as folder:
            text = """big: append/dup copy "" "x" 20000
foreach code [
    [write %a.txt big]
    [write/binary %b.bin to binary! big]
    [write/lines %c.txt reduce [big]]
    [write/append %d.txt big]
    [save %e.kel big]
    [save %f.kelbin reduce [big]]
    [write %small.txt "fits"]
][
    r: try code
    print [mold/only code "=>" either error? r [reduce [r/type r/id]][mold type? :r]]
]
print "still running"
"""
            proc = self.run_kel(folder, text)
            lines = proc.stdout.decode().splitlines()
            self.assertEqual(proc.returncode, 0, proc.stderr)
            results = [line for line in lines if "=>" in line]
            self.assertEqual(results, [
                "write %a.txt big => access cannot-open",
                "write/binary %b.bin to binary! big => access cannot-open",
                "write/lines %c.txt reduce [big] => access cannot-open",
                "write/append %d.txt big => access cannot-open",
                "save %e.kel big => access cannot-open",
                "save %f.kelbin reduce [big] => access cannot-open",
                "write %small.txt \"fits\" => file!",
            ])
            self.assertEqual(lines[-1], "still running")
            with open(os.path.join(folder, "small.txt")) as f:
                self.assertEqual(f.read(), "fits")

    def test_standard_output_to_a_file_past_the_limit(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "out"), "w") as out:
                proc = self.run_kel(folder, 'loop 1000 [print "0123456789abcdef"] print "end"', stdout=out)
            self.assertEqual(proc.returncode, 1)
            self.assertIn(b"*** Output error: File too large", proc.stderr)
            self.assertEqual(os.path.getsize(os.path.join(folder, "out")), LIMIT)

    def test_a_started_program_meets_the_limit_as_from_a_shell(self):
        with tempfile.TemporaryDirectory() as folder:
            proc = self.run_kel(folder, 'print call/shell/wait "head -c 20000 /dev/zero > z.bin"')
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertEqual(proc.stdout, b"%d\n" % (128 + signal.SIGXFSZ))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
