#!/usr/bin/env python3
"""A system call that fails part-way through an operation, made to fail on purpose by strace: the
failure reaches the script as an error, or the call is retried when it was only interrupted.
Nothing passes a part of the work for the whole."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from fault_injection import fail_on_path_or_skip

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"


class FolderListing(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kel-listing-")
        self.folder = os.path.join(self.dir, "many")
        os.mkdir(self.folder)
        # More entries than one read of the folder returns, so that a failure can come half-way.
        for i in range(2000):
            open(os.path.join(self.folder, f"entry-{i:04}-with-a-longer-name.txt"), "w").close()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def list_with(self, error, when):
        script = os.path.join(self.dir, "list.kel")
        with open(script, "w") as f:
            f.write('Kel []\nprint either error? set/any \'r try [read %many/] [mold r/id] [length? r]\n')
        prefix = fail_on_path_or_skip(self, "getdents64", error, self.folder, when)
        proc = subprocess.run([*prefix, KEL, script], capture_output=True, cwd=self.dir, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        return proc.stdout.decode().strip()

    def test_a_failed_read_of_the_folder_is_an_error(self):
        # A read error while listing ended the listing as if the folder had no more entries: the
        # script got none, or the first part, of them, and no word of the failure.
        for when in ("1", "2"):
            with self.subTest(when=when):
                self.assertEqual(self.list_with("EIO", when), "cannot-open")

    def test_an_interrupted_read_of_the_folder_goes_on(self):
        # A signal (a resized terminal) that interrupted the listing cut it short the same way.
        for when in ("1", "2", "1..3"):
            with self.subTest(when=when):
                self.assertEqual(self.list_with("EINTR", when), "2000")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
