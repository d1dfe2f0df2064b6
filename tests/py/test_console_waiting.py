#!/usr/bin/env python3
"""The console's prompt while the user thinks, and a script's `wait`: what happens meanwhile
reaches them at once, not with the next key or call. A program that `call` started without
waiting and that ends is collected, not left a zombie until the next call; a resized terminal
has the line drawn again."""
import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import pty_child

KEL = sys.argv.pop(1) if len(sys.argv) > 1 else "kel"


def state_of(pid):
    """The process state letter, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


class Console:
    def __init__(self, home):
        os.environ["HOME"] = home  # the settings file goes there
        self.proc, self.master, self.slave, _ = pty_child.start_on_pty([KEL], 80, 24)
        self.out = b""

    def read_until(self, pattern, timeout=20, start=0):
        """Waits for the pattern in what came from the offset start on."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.search(pattern, self.out[start:])
            if m:
                return m
            if select.select([self.master], [], [], 0.1)[0]:
                self.out += os.read(self.master, 4096)
        raise AssertionError(f"{pattern!r} never came; got {self.out!r}")

    def close(self):
        pty_child.stop_on_pty(self.proc, self.master, self.slave)


class WhileThePromptWaits(unittest.TestCase):
    def test_ended_child_is_collected(self):
        with tempfile.TemporaryDirectory() as home:
            c = Console(home)
            master, read_until = c.master, c.read_until
            try:
                read_until(rb">> ")
                os.write(master, b'call "sleep 0.2"\r')
                child = int(read_until(rb"== (\d+)").group(1))
                read_until(rb"== \d+\r\n\x1b\[J>> ")
                deadline = time.monotonic() + 20
                while state_of(child) is not None and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertIsNone(state_of(child), "the ended child stays a zombie")
            finally:
                c.close()

    def test_resized_terminal_redraws_the_line_without_a_key(self):
        with tempfile.TemporaryDirectory() as home:
            c = Console(home)
            try:
                c.read_until(rb">> ")
                os.write(c.master, b"abc")
                c.read_until(rb">> abc")
                before = len(c.out)
                # The kernel signals the resize to the program.
                fcntl.ioctl(c.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 20, 40, 0, 0))
                c.read_until(rb"abc", start=before)
                os.write(c.master, b"\x08\x08\x08system/console/size\r")
                c.read_until(rb"== 40x20")
            finally:
                c.close()


class WhileAScriptWaits(unittest.TestCase):
    def test_ended_child_is_collected_during_a_wait(self):
        # A script that started a program and then waited (a loop of waits, or one long wait)
        # left the program a zombie for as long as it waited.
        for waits in ("wait 4", "loop 40 [wait 0.1]"):
            with self.subTest(waits=waits), tempfile.TemporaryDirectory() as home:
                script = os.path.join(home, "w.kel")
                with open(script, "w") as f:
                    f.write(f'Kel []\nprint call "sleep 0.2"\n{waits}\nprint "done"\n')
                started = time.monotonic()
                proc = subprocess.Popen([KEL, script], stdout=subprocess.PIPE)
                try:
                    child = int(proc.stdout.readline())
                    while state_of(child) is not None and time.monotonic() - started < 3:
                        time.sleep(0.05)
                    self.assertIsNone(proc.poll(), "the script ended before the check")
                    self.assertIsNone(state_of(child), "the ended child stays a zombie")
                    self.assertEqual(proc.stdout.read(), b"done\n")
                finally:
                    proc.kill()
                    proc.wait()
                self.assertGreaterEqual(time.monotonic() - started, 3.9, "the wait was cut short")


if __name__ == "__main__":
    unittest.main()
