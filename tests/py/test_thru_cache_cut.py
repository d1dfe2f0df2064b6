#!/usr/bin/env python3
"""A cache entry of read-thru or load-thru whose write is cut short (a full disk, a kill) must not
be read back as the remote file: the next call downloads again and gets it whole."""
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from fault_injection import kill_at_fsync_or_skip

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"

# The network is a stand-in: a URL serves 20,000 letters and each request is counted.
PRELUDE = '''Kel []
downloads: 0
real-read: :read
read: func [source /binary /info /local data][
    unless url? source [return either binary [real-read/binary source][real-read source]]
    downloads: downloads + 1
    data: append/dup copy "" "x" 20000
    data: either binary [to binary! data][data]
    either info [reduce [200 make map! reduce ['Content-Type "text/plain"] data]][data]
]
'''


class CutEntry(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kel-home-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def run_kel(self, code, limit=None, prefix=()):
        script = os.path.join(self.home, "s.kel")
        with open(script, "w") as f:
            f.write(PRELUDE + code)
        env = dict(os.environ, HOME=self.home)
        return subprocess.run([*prefix, KEL, script], capture_output=True, env=env,
                              preexec_fn=limit, timeout=60)

    def test_a_cut_entry_is_not_read_back(self):
        # A file size limit stands in for the full disk: its signal is left at the default,
        # which Kel ignores, so the write fails with EFBIG.
        def full_disk():
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)

        killed = kill_at_fsync_or_skip(self)
        url = "http://example.com/big.txt"
        cases = [
            ("read-thru, full disk", "read-thru", full_disk, (), 0),
            ("read-thru, killed", "read-thru", None, killed, -signal.SIGKILL),
            ("read-thru/update over a whole entry, full disk", "read-thru/update", full_disk, (), 0),
            ("load-thru, full disk", "load-thru", full_disk, (), 0),
            ("load-thru, killed", "load-thru", None, killed, -signal.SIGKILL),
        ]
        for what, call, limit, prefix, status in cases:
            with self.subTest(what):
                shutil.rmtree(os.path.join(self.home, ".kel"), ignore_errors=True)
                if "update" in call:
                    self.assertEqual(self.run_kel("read-thru %s\n" % url).returncode, 0)
                proc = self.run_kel("print length? form %s %s\n" % (call, url), limit, prefix)
                self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
                if status == 0:
                    self.assertEqual(proc.stdout, b"20000\n")
                # Nor is a part of it left beside the entries (a kill left the temporary file).
                left = [f for _, _, files in os.walk(os.path.join(self.home, ".kel")) for f in files
                        if f.endswith(".tmp")]
                self.assertEqual(left, [])
                plain = call.split("/")[0]
                proc = self.run_kel("print [length? form %s %s downloads]\n" % (plain, url))
                self.assertEqual(proc.stdout, b"20000 1\n", proc.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
