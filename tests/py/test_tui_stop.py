#!/usr/bin/env python3
"""A window on the terminal when the program is stopped (SIGTSTP, SIGSTOP) and continued by the
shell's job control: while stopped, the shell gets the terminal as it was before the window;
after `fg` the window has it again (raw keys, its screen drawn anew).

The program runs under an interactive shell in tmux: only a shell with job control keeps the
program's process group from being orphaned, and the kernel drops a stop signal sent to an
orphaned group."""
import os
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import uuid

KEL = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else "kel"


class Shell:
    def __init__(self, home):
        self.socket = "kel-" + uuid.uuid4().hex[:10]
        self.tmux("new-session", "-d", "-x", "60", "-y", "20",
                  "env -i PATH=/usr/bin:/bin HOME=" + home + " TERM=screen PS1='$ ' bash --norc --noprofile -i")
        self.wait_for(lambda s: "$" in s)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args),
                              check=True, capture_output=True, text=True).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p")

    def flag(self, name):
        return self.tmux("display", "-p", "#{" + name + "}").strip()

    def wait_for(self, predicate, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = self.screen()
            if predicate(s):
                return s
            time.sleep(0.05)
        raise AssertionError("screen never matched:\n" + self.screen())

    def line(self, text):
        self.tmux("send-keys", "-l", text)
        self.tmux("send-keys", "Enter")

    def program_pid(self):
        """The program that the shell runs in the foreground."""
        shell = self.flag("pane_pid")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            out = subprocess.run(["ps", "-o", "pid=", "--ppid", shell], capture_output=True, text=True).stdout.split()
            if out:
                return int(out[0])
            time.sleep(0.05)
        raise AssertionError("no program started")

    def canonical(self):
        fd = os.open(self.flag("pane_tty"), os.O_RDONLY | os.O_NOCTTY)
        try:
            return bool(termios.tcgetattr(fd)[3] & termios.ICANON)
        finally:
            os.close(fd)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


class StopAndContinue(unittest.TestCase):
    def run_stopped(self, flags, stop_signal, check_stopped):
        with tempfile.TemporaryDirectory() as home:
            path = os.path.join(home, "w.kel")
            with open(path, "w") as f:
                f.write('Kel []\nprint "before"\n'
                        + ('view/flags ' if flags else 'view ') + '[text "hello" button "ok" [unview]]'
                        + (' [' + flags + ']\n' if flags else '\n')
                        + 'print "after"\n')
            sh = Shell(home)
            try:
                sh.line(KEL + " " + path)
                sh.wait_for(lambda s: "hello" in s)
                pid = sh.program_pid()
                sh.wait_for(lambda s: not sh.canonical())
                os.kill(pid, stop_signal)
                sh.wait_for(lambda s: "Stopped" in s)
                check_stopped(sh)
                sh.line("fg")
                # Drawn anew once the terminal is back in the window's hands.
                sh.wait_for(lambda s: s.count("hello") == (1 if flags else 2) and not sh.canonical())
                return sh
            except BaseException:
                sh.close()
                raise

    def test_full_screen_window_gives_the_terminal_back_while_stopped(self):
        def stopped(sh):
            self.assertEqual(sh.flag("alternate_on"), "0")
            self.assertEqual(sh.flag("cursor_flag"), "1")

        sh = self.run_stopped("fullscreen", signal.SIGTSTP, stopped)
        try:
            self.assertEqual(sh.flag("alternate_on"), "1")
            sh.tmux("send-keys", "Enter")
            sh.wait_for(lambda s: "after" in s and s.rstrip().endswith("$"))
            self.assertEqual(sh.flag("alternate_on"), "0")
        finally:
            sh.close()

    def test_inline_window_after_an_uncatchable_stop(self):
        sh = self.run_stopped("", signal.SIGSTOP, lambda sh: None)
        try:
            sh.tmux("send-keys", "Enter")
            sh.wait_for(lambda s: "after" in s and s.rstrip().endswith("$"))
        finally:
            sh.close()


if __name__ == "__main__":
    unittest.main()
