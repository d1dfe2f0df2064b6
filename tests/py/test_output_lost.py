#!/usr/bin/env python3
"""Standard output that takes no more bytes ends the run: a full device is told on standard error
with a failing status, and a reader that went away ends even a script that prints for ever."""
import os
import subprocess
import sys
import tempfile
import unittest

KEL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "kel"


class OutputLost(unittest.TestCase):
    def script(self, folder, text):
        path = os.path.join(folder, "s.kel")
        with open(path, "w") as f:
            f.write("Kel []\n" + text + "\n")
        return path

    def test_full_device(self):
        with tempfile.TemporaryDirectory() as folder:
            cases = [
                ('print "hi"', 1),              # the first line already fails
                ('prin "no line end"', 1),      # flushed only at the end
                ('x: 1 + 2', 0),                # nothing printed: nothing lost
            ]
            for text, status in cases:
                with open("/dev/full", "w") as full:
                    proc = subprocess.run([KEL, self.script(folder, text)], stdout=full,
                                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                          env=dict(os.environ, HOME=folder), timeout=60)
                self.assertEqual(proc.returncode, status, (text, proc.stderr))
                if status:
                    self.assertIn(b"*** Output error: No space left on device", proc.stderr)
                else:
                    self.assertEqual(proc.stderr, b"")

    def test_reader_gone(self):
        with tempfile.TemporaryDirectory() as folder:
            kel = subprocess.Popen([KEL, self.script(folder, "forever [print 1]")],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, env=dict(os.environ, HOME=folder))
            self.assertEqual(kel.stdout.readline(), b"1\n")
            kel.stdout.close()
            status = kel.wait(timeout=60)
            self.assertEqual(status, 141)
            self.assertEqual(kel.stderr.read(), b"")  # quiet, as a program the signal ends


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
