#!/usr/bin/env python3
"""Start-up on a real terminal: the GUI backend starts with every run of the program, but while no
window is shown it writes nothing to the terminal, also when a script waits (which runs the
backend's event loop once while a window is shown)."""
import os
import pty
import re
import sys
import tempfile
import unittest

import pty_child

KEL = sys.argv.pop(1) if len(sys.argv) > 1 else "kel"

# What the console itself writes around a script on a terminal: its title, saved and restored.
CONSOLE_TITLE = re.compile(rb"\x1b\]2;[^\x07]*\x07|\x1b\[2[23];0t")


def run_on_pty(script, timeout=20):
    with tempfile.TemporaryDirectory() as home:
        path = os.path.join(home, "start.kel")
        with open(path, "w") as f:
            f.write(script)
        pid, master = pty.fork()
        if pid == 0:
            os.environ["HOME"] = home
            os.execv(KEL, [KEL, path])
        return pty_child.read_all(pid, master, timeout)


class StartUp(unittest.TestCase):
    def test_a_script_without_windows_prints_only_its_own_text(self):
        out, status = run_on_pty('Kel []\nprint "hello"\nwait 0\nprin "done"\n')
        self.assertEqual(status, 0)
        self.assertEqual(CONSOLE_TITLE.sub(b"", out), b"hello\r\ndone")


if __name__ == "__main__":
    unittest.main()
