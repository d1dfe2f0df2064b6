#!/usr/bin/env python3
"""A signal that the parent set to be ignored stays ignored: `nohup` ignores the hang-up, and a
shell without job control ignores the interrupt and quit keys for what it starts in the
background. Such a run must go on to its end, while a signal left at its default still ends the
process with the terminal put back."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

KEL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "kel"


def disposed(sig, how):
    return lambda: signal.signal(sig, how)


class IgnoredSignals(unittest.TestCase):
    def run_and_signal(self, folder, sig, preexec):
        script = os.path.join(folder, "s.kel")
        with open(script, "w") as f:
            f.write('Kel []\nprint "started"\nwait 1\nprint "done"\nquit/return 3\n')
        proc = subprocess.Popen([KEL, script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, env=dict(os.environ, HOME=folder),
                                preexec_fn=preexec)
        self.assertEqual(proc.stdout.readline(), b"started\n")
        time.sleep(0.2)  # well inside the wait
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
        return proc.returncode, out, err

    def test_ignored_signals_do_not_end_the_run(self):
        with tempfile.TemporaryDirectory() as folder:
            for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM):
                status, out, err = self.run_and_signal(folder, sig, disposed(sig, signal.SIG_IGN))
                self.assertEqual((status, out, err), (3, b"done\n", b""), sig)

    def test_signals_left_at_their_default_still_end_it(self):
        with tempfile.TemporaryDirectory() as folder:
            for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
                # Set here: the suite itself may run with some of them ignored.
                status, out, _ = self.run_and_signal(folder, sig, disposed(sig, signal.SIG_DFL))
                self.assertEqual((status, out), (-sig, b""), sig)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
