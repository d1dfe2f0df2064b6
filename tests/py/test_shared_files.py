#!/usr/bin/env python3
"""A file that several processes write at the same time: what each appends stays whole and none
of it is written over."""
import collections
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"


class ConcurrentAppends(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kel-append-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_appends_from_several_processes_all_land(self):
        # An append moved to the end once, at the open, and wrote there: another process's
        # line written meanwhile was written over (three writers of 3000 lines each left about
        # 7700 lines). With /lines the line end was a write of its own, and lines of two writers
        # could run into each other.
        for how in ('write/append %log.txt rejoin [tag " line" newline]',
                    'write/append/lines %log.txt rejoin [tag " line"]'):
            with self.subTest(how=how):
                log = os.path.join(self.dir, "log.txt")
                if os.path.exists(log):
                    os.remove(log)
                script = os.path.join(self.dir, "append.kel")
                with open(script, "w") as f:
                    f.write(f"Kel []\ntag: system/script/args\nloop 2000 [{how}]\n")
                writers = [subprocess.Popen([KEL, script, tag], cwd=self.dir) for tag in "ABC"]
                for w in writers:
                    self.assertEqual(w.wait(timeout=240), 0)
                with open(log) as f:
                    counts = collections.Counter(f.read().split("\n"))
                self.assertEqual(counts, {"A line": 2000, "B line": 2000, "C line": 2000, "": 1})


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
