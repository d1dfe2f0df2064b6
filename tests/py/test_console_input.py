#!/usr/bin/env python3
"""The console's input in the real binary (its path is the first argument): history kept across
a restart, Ctrl-C at the prompt, completion over the environment's words, Escape inside a
multi-line input, and input from a pipe. Screens come from tmux; terminal modes from a
pseudo-terminal held here."""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pty_child  # noqa: E402
import test_line_editor as editor  # noqa: E402  (the tmux and pty harnesses)

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"


class Console(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="kel-home-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, columns=80, rows=40):
        return editor.Tmux(["env", "HOME=" + self.home, KEL], columns=columns, rows=rows)

    def last_prompt(self, t):
        lines = [l for l in t.everything() if l.startswith(">>")]
        return lines[-1] if lines else ""

    def test_history_across_a_restart(self):
        t = self.start()
        try:
            t.text("1 + 41")
            t.keys("Enter")
            t.wait_for(lambda s: "== 42" in s)
            t.at_prompt()
            t.text("q")
            t.keys("Enter")
            t.wait_for(lambda s: "EXIT 0" in s)
        finally:
            t.close()
        cfg = os.path.join(self.home, ".kel", "Kel-Console", "console-cfg.kel")
        with open(cfg, encoding="utf-8") as f:
            saved = f.read()
        self.assertIn('"1 + 41"', saved)
        t = self.start()
        try:
            t.keys("Up", "Up")
            t.wait_for(lambda s: self.last_prompt(t) == ">> 1 + 41")
            t.keys("Enter")
            t.wait_for(lambda s: s.count("== 42") == 1)
        finally:
            t.close()

    def test_ctrl_c_at_the_prompt_quits_and_restores_the_terminal(self):
        editor.PROBE = KEL
        p = editor.OnPty([])
        try:
            p.read_until(b">> ")
            self.assertFalse(p.mode()[3] & termios.ICANON)
            p.send(b"1 + 1")
            p.send(b"\x03")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(p.mode(), p.initial)
        finally:
            p.close()

    def test_completion_over_the_environment(self):
        t = self.start()
        try:
            t.at_prompt()
            t.text("uppe")
            t.keys("Tab")
            t.wait_for(lambda s: self.last_prompt(t) == ">> uppercase")
            t.text(' "abc"')
            t.keys("Enter")
            t.wait_for(lambda s: '== "ABC"' in s)
            # Several: listed on the input row; the next prompt holds their common part.
            t.at_prompt()
            t.text("system/conso")
            t.keys("Tab")
            t.wait_for(lambda s: self.last_prompt(t) == ">> system/console")
        finally:
            t.close()

    def test_escape_leaves_a_multi_line_input(self):
        t = self.start()
        try:
            t.text("[1 2")
            t.keys("Enter")
            t.wait_for(lambda s: s.rstrip().endswith("["))
            t.keys("Escape")
            t.wait_for(lambda s: "(escape)" in s)
            t.wait_for(lambda s: s.rstrip().endswith(">>"))
        finally:
            t.close()

    def test_the_window_title_is_saved_once_and_put_back_at_the_end(self):
        # Setting the title again must not save it again: the single restore at exit would
        # then leave the console's own title on the terminal.
        proc, master, slave, _ = pty_child.start_on_pty(["env", "HOME=" + self.home, KEL], 80, 24)
        os.close(slave)
        os.write(master, b'system/console/init "Other"\rsystem/console/init "Third"\rq\r')
        out, status = pty_child.read_all(proc.pid, master, 20)
        proc.wait()  # already reaped: only lets the Popen object know
        self.assertEqual(status, 0)
        self.assertIn(b"\x1b]2;Other\x07", out)
        self.assertIn(b"\x1b]2;Third\x07", out)
        self.assertEqual(out.count(b"\x1b[22;0t"), 1, out)
        self.assertEqual(out.count(b"\x1b[23;0t"), 1, out)

    def test_lines_from_a_pipe_then_the_end(self):
        env = dict(os.environ, HOME=self.home)
        r = subprocess.run([KEL], input=b'1 + 2\nprint "hi"\n', capture_output=True, env=env, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout.decode()
        self.assertIn("== 3", out)
        self.assertIn("hi\n", out)
        self.assertNotIn(">>", out)


    def test_ctrl_d_typed_while_the_output_is_redirected(self):
        # Lines typed on a terminal while the output goes to a pipe are read without the editor.
        # The end of input a terminal gives is one Ctrl-D, not a lasting state: at a fresh prompt
        # it ends the console at once (as the editor's Ctrl-D does), but it took a second one.
        # A script's `ask` still gets an empty line for it and runs on to its own status.
        script = os.path.join(self.home, "ask.kel")
        with open(script, "w") as f:
            f.write('Kel []\nprint mold ask "? "\nprint "goes on"\nquit/return 3\n')
        for args, typed, status, expected in (
            ([], [b"print 6 * 7\n", b"\x04"], 0, b"\n42\n"),
            ([script], [b"\x04"], 3, b'""\ngoes on\n'),
        ):
            master, slave = os.openpty()
            proc = subprocess.Popen([KEL, *args], stdin=slave, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    env=dict(os.environ, HOME=self.home))
            os.close(slave)
            try:
                for keys in typed:
                    time.sleep(0.3)
                    os.write(master, keys)
                out, _ = proc.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, _ = proc.communicate()
                self.fail("still running after Ctrl-D: %r" % out)
            finally:
                os.close(master)
            self.assertEqual(proc.returncode, status, out)
            self.assertTrue(out.endswith(expected), out)

    def test_hidden_input_typed_while_the_output_is_redirected(self):
        # With the output piped on (to a log), a line is read without the editor, and the
        # terminal's own echo showed what ask/hide was given (a password) in clear. It shows the
        # line end alone now, and the terminal has its echo back afterwards, also when a signal ends the read.
        script = os.path.join(self.home, "hide.kel")
        with open(script, "w") as f:
            f.write('Kel []\np: ask/hide "Password: "\nprint ["got" p]\nq: ask "Name: "\n'
                    'print ["name" q]\nask/hide "Again: "\n')
        master, slave = os.openpty()

        def setup():
            os.setsid()
            # Ended below by SIGTERM, which whoever runs the tests may have ignored.
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

        proc = subprocess.Popen([KEL, script], stdin=slave, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, preexec_fn=setup,
                                env=dict(os.environ, HOME=self.home))
        shown = b""
        try:
            time.sleep(0.3)
            os.write(master, b"sesame\n")
            self.assertEqual(proc.stdout.readline(), b"got sesame\n")
            os.write(master, b"ali\n")
            self.assertEqual(proc.stdout.readline(), b"name ali\n")
            time.sleep(0.3)
            self.assertFalse(termios.tcgetattr(slave)[3] & termios.ECHO, "the echo is on for hidden input")
            proc.terminate()
            self.assertEqual(proc.wait(timeout=10), -signal.SIGTERM)
            while select.select([master], [], [], 0.2)[0]:
                shown += os.read(master, 4096)
            self.assertTrue(termios.tcgetattr(slave)[3] & termios.ECHO, "the echo stays off")
        finally:
            proc.kill()
            proc.wait()
            os.close(master)
            os.close(slave)
        self.assertNotIn(b"sesame", shown)
        self.assertIn(b"ali", shown)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
