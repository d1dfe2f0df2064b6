#!/usr/bin/env python3
"""A signal that the parent set to be ignored stays ignored: `nohup` ignores the hang-up, and a
shell without job control ignores the interrupt and quit keys for what it starts in the
background. Such a run must go on to its end, while a signal left at its default still ends the
process with the terminal put back. The one exception is the child signal, whose ignore would
have the kernel throw away how the programs that `call` started ended."""
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

    def test_an_ignored_child_signal_does_not_lose_exit_statuses(self):
        # A parent that ignored SIGCHLD passed that on, so the kernel collected every ended
        # program at once: call/wait and a redirected call answered -1 for their exit code.
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "s.kel")
            with open(script, "w") as f:
                f.write('Kel []\nprint call/wait "exit 3"\n'
                        'print call/shell/output "echo hi; exit 4" o: copy ""\nprin o\n'
                        'pid: call "exit 5"\nwait 0.3\nprint call/wait "exit 6"\n')
            proc = subprocess.run([KEL, script], capture_output=True, stdin=subprocess.DEVNULL,
                                  env=dict(os.environ, HOME=folder), timeout=60,
                                  preexec_fn=disposed(signal.SIGCHLD, signal.SIG_IGN))
            self.assertEqual((proc.returncode, proc.stdout), (0, b"3\n4\nhi\n6\n"), proc.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
