#!/usr/bin/env python3
"""The debugger at a real console (the binary's path is the first argument): it stops at its
own prompt, steps and continues, and the commands typed at that prompt leave the console's
history when the debugging run ends. Screens come from tmux."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_line_editor as editor  # noqa: E402  (the tmux harness)

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"


class Debugger(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kel-home-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def asking(self, t):
        lines = [l for l in t.everything() if l]
        return lines and lines[-1].startswith("debug>")

    def command(self, t, text, then):
        t.wait_for(lambda s: self.asking(t))
        t.text(text)
        t.keys("Enter")
        t.wait_for(then)

    def test_steps_continues_and_leaves_no_history(self):
        t = editor.Tmux(["env", "HOME=" + self.home, KEL], columns=100, rows=80)
        try:
            t.at_prompt()
            t.text("debug [x: 1 + 2]")
            t.keys("Enter")
            t.wait_for(lambda s: "-----> EVAL x:" in s)
            self.command(t, "", lambda s: "-----> PUSH x:" in s)
            self.command(t, "w x", lambda s: self.asking(t))
            self.command(t, "", lambda s: "Watch: x: unset" in s)
            self.command(t, "c", lambda s: not self.asking(t))
            t.at_prompt()
            t.text("probe system/console/history")
            t.keys("Enter")
            t.wait_for(lambda s: '"debug [x: 1 + 2]"]' in s)
            lines = [l for l in t.everything() if l.startswith("[")]
            self.assertEqual(lines[-1], '["probe system/console/history" "debug [x: 1 + 2]"]')
        finally:
            t.close()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]])
