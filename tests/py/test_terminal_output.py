#!/usr/bin/env python3
"""Output on a pseudo-terminal and to a pipe, through the output probe (KEL_PROBE_DIR): ANSI
sequences in printed strings become VT sequences on a terminal, redirected output keeps every
byte, and questions to the terminal (cursor position, window size) are answered from the pty."""
import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios
import time
import unittest

import pty_child

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", ""), "probe_output")
ESC = "\x1b"


def run_on_pty(args, replies=None, size=(24, 80), timeout=10):
    """Runs the probe on a fresh pty that is its controlling terminal. replies maps a request the
    probe writes (bytes) to the answer the terminal gives. Returns everything written, with the
    pty's CR LF turned back into LF."""
    pid, master = pty.fork()
    if pid == 0:
        rows, cols = size
        fcntl.ioctl(1, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        os.execv(PROBE, [PROBE] + args)
    out, status = pty_child.read_all(pid, master, timeout, replies)
    assert status == 0, status
    return out.replace(b"\r\n", b"\n")


class TerminalOutput(unittest.TestCase):
    def test_colour_sequence_is_translated_on_a_terminal(self):
        out = run_on_pty(["ab" + ESC + "[31mcd"])
        # "cd" in red on the terminal's own background, then the colours are put back at exit.
        self.assertEqual(out, b"ab\x1b[0;31mcd\n\x1b[0m")

    def test_redirected_output_keeps_every_byte(self):
        text = "ab" + ESC + "[31mcd"
        for unit in ("1", "2"):
            out = subprocess.run([PROBE, "--unit", unit, text], stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(out, b"ab\x1b[31mcd\n")
        out = subprocess.run([PROBE, "--unit", "2", "--no-line", "caf\u00e9 \u20ac"], stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(out, "caf\u00e9 \u20ac".encode())

    def test_four_byte_strings_are_not_emulated(self):
        out = run_on_pty(["--unit", "4", ESC + "[31m\U0001F600"])
        self.assertEqual(out, "\x1b[31m\U0001F600\n".encode())

    def test_erase_to_row_start_asks_for_the_cursor(self):
        # The terminal reports row 1, column 4 (1-based): the three cells before the cursor go.
        out = run_on_pty(["--no-line", "abc" + ESC + "[1Kz"], replies={b"\x1b[6n": b"\x1b[1;4R"})
        self.assertEqual(out, b"abc\x1b[6n\r\x1b[3Xz")

    def test_erase_without_an_answer_falls_back(self):
        started = time.monotonic()
        out = run_on_pty(["--no-line", "abc" + ESC + "[1Kz" + ESC + "[1Ky"])
        # One unanswered question: the second erase does not wait again.
        self.assertEqual(out, b"abc\x1b[6n\x1b[1K\rz\x1b[1K\ry")
        self.assertLess(time.monotonic() - started, 5)

    def test_screen_report(self):
        out = run_on_pty(["--no-line", ESC + "[?"], replies={b"\x1b[6n": b"\x1b[6;4R"}, size=(40, 100))
        self.assertEqual(out.decode(), "\x1b[6n" + "\n".join([
            "Screen buffer info:",
            "   size______ 100x40",
            "   cursor____ 3x5",
            "   attribute_ 00000007 00000007",
            "   left______ 0 top: 0",
            "   right_____ 99 bottom: 39",
            "   max_______ 100x40",
        ]) + "\n")


if __name__ == "__main__":
    if not os.access(PROBE, os.X_OK):
        sys.exit("no probe_output in KEL_PROBE_DIR")
    unittest.main(argv=sys.argv[:1])
