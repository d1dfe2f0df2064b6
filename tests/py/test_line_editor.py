#!/usr/bin/env python3
"""The console's line editor on real terminals.

Screens come from tmux (a terminal emulator whose screen can be read back); the terminal modes
and the raw bytes come from a pseudo-terminal held here. The program under test is probe_editor
(KEL_PROBE_DIR): it asks for lines as `ask` does and prints "=> " and each line it got.
"""
import os
import select
import signal
import subprocess
import sys
import termios
import time
import unittest

import pty_child
import uuid

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", ""), "probe_editor")
WORDS = ["--words", "compl-alpha", "compl-alpine", "compl-beta"]


class Tmux:
    """One program in a detached tmux session of its own."""

    def __init__(self, args, columns=60, rows=100, prompt=">>"):
        self.socket = "kel-" + uuid.uuid4().hex[:10]
        self.prompt = prompt
        self.tmux(
            "new-session", "-d", "-x", str(columns), "-y", str(rows),
            " ".join(quote(a) for a in args) + "; echo EXIT $?; sleep 60",
        )
        try:
            self.wait_for(lambda s: prompt in s or "EXIT" in s)
        except BaseException:
            self.close()
            raise

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args),
                              check=True, capture_output=True, text=True).stdout

    def text(self, s):
        self.tmux("send-keys", "-l", s)

    def keys(self, *names):
        self.tmux("send-keys", *names)

    def screen(self):
        return self.tmux("capture-pane", "-p").split("\n")

    def everything(self):
        """The screen's lines, rows that a long line wrapped onto joined again. (The screens
        are tall enough that nothing scrolls away.)"""
        return [l.rstrip() for l in self.tmux("capture-pane", "-p", "-J").split("\n")]

    def at_prompt(self):
        """Waits until the program asks for a line: keys typed before go to a terminal that is
        not in raw mode yet (echoed by it, Ctrl-Z stopping the program)."""
        def asking():
            lines = [l for l in self.everything() if l]
            return lines and lines[-1].startswith(self.prompt)
        self.wait_for(lambda s: asking())

    def results(self):
        lines = self.everything()
        return [l[3:] for l in lines if l.startswith("=>")] + [l for l in lines if l.startswith("EXIT")]

    def wait_for(self, predicate, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = "\n".join(self.screen())
            if predicate(s):
                return s
            time.sleep(0.02)
        raise AssertionError("screen never matched:\n" + "\n".join(self.screen()))

    def line(self, *steps, enter=True):
        """Sends text and key names (tuples), then Enter; answers the line the program got."""
        before = len(self.results())
        self.at_prompt()
        for step in steps:
            if isinstance(step, tuple):
                self.keys(*step)
            else:
                self.text(step)
        if enter:
            self.keys("Enter")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            r = self.results()
            if len(r) > before:
                return r[before]
            time.sleep(0.02)
        raise AssertionError("no line came back:\n" + "\n".join(self.screen()))

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def quote(a):
    return "'" + a.replace("'", "'\\''") + "'"


class OnPty:
    """The program on a pseudo-terminal that is its controlling terminal; the slave side stays
    open here, so its modes can be read at any time."""

    def __init__(self, args, columns=60, rows=20):
        started = pty_child.start_on_pty([PROBE] + args, columns, rows)
        self.proc, self.master, self.slave, self.initial = started
        self.out = b""

    def read_until(self, wanted, timeout=10):
        deadline = time.monotonic() + timeout
        while wanted not in self.out:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{wanted!r} never came; got {self.out!r}")
            ready, _, _ = select.select([self.master], [], [], min(left, 0.1))
            if ready:
                try:
                    self.out += os.read(self.master, 4096)
                except OSError:
                    break
        return self.out

    def send(self, data):
        os.write(self.master, data)

    def mode(self):
        return termios.tcgetattr(self.slave)

    def wait(self, timeout=10):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    self.out += os.read(self.master, 4096)
                except OSError:
                    pass
        code = self.proc.wait(timeout=1)
        # What the program wrote just before it ended may still wait on the master side (the
        # slave stays open here, so no end of file comes): read it all.
        while select.select([self.master], [], [], 0.05)[0]:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.out += chunk
        return code

    def close(self):
        pty_child.stop_on_pty(self.proc, self.master, self.slave)


def lflags(mode):
    return mode[3]


class Keys(unittest.TestCase):
    def setUp(self):
        self.t = Tmux([PROBE] + WORDS)

    def tearDown(self):
        self.t.close()

    def test_every_key_of_the_table(self):
        cases = [
            (["abc"], "abc"),
            (["abc", ("Left", "Left"), "X"], "aXbc"),
            (["abc", ("C-b", "C-b", "C-f"), "X"], "abXc"),
            (["abc", ("Left", "Right", "Right"), "X"], "abcX"),
            (["abc", ("Home",), "X"], "Xabc"),
            (["abc", ("C-a", "End"), "X"], "abcX"),
            (["abc", ("C-a", "C-e"), "X"], "abcX"),
            (["abc", ("BSpace",)], "ab"),
            (["abc", ("Left", "C-h")], "ac"),
            (["abc", ("Home", "BSpace")], "abc"),
            (["abc", ("Home", "DC")], "bc"),
            (["abc", ("DC",)], "abc"),
            (["abcdef", ("Left", "Left", "Left", "C-k")], "abc"),
            (["abc", ("Home", "C-d")], "bc"),
            (["abc", ("C-d",)], "abc"),
            (["ab", ("IC", "PPage", "NPage", "F1", "F12", "C-g", "C-z"), "c"], "abc"),
            (["ab", ("Escape",)], "ab^["),
            (["zqz", ("Tab",)], "zqz^-"),  # nothing completes it: a tab goes in
        ]
        for steps, expected in cases:
            # Escape ends the line by itself.
            enter = steps[-1] != ("Escape",)
            self.assertEqual(self.t.line(*steps, enter=enter), expected, steps)
        # The history holds the lines above, newest first, a line equal to the newest one not
        # again, and not the one ended by Escape: "zqz<tab>", "abc", "bc", "abc", ...
        self.assertEqual(self.t.line(("Up",)), "zqz^-")
        self.assertEqual(self.t.line(("Up", "Up", "Up")), "bc")
        self.assertEqual(self.t.line(("C-p", "C-p", "C-n")), "bc")
        self.assertEqual(self.t.line(("Up", "Down", "Down")), "")
        self.assertEqual(self.t.line(("Up", "Up", "Up"), "!"), "abc!")

    def test_ctrl_c_and_ctrl_d(self):
        self.t.text("some text")
        self.t.keys("C-c")
        self.t.wait_for(lambda s: "EXIT 0" in s)
        self.assertEqual(self.t.results()[-2:], ["q", "EXIT 0"])

        u = Tmux([PROBE])
        try:
            u.keys("C-d")
            u.wait_for(lambda s: "EXIT 0" in s)
            self.assertEqual(u.results()[-2:], ["q", "EXIT 0"])
        finally:
            u.close()

    def test_completion(self):
        # One candidate: completed in place, the edit goes on.
        self.assertEqual(self.t.line("compl-b", ("Tab",), "!"), "compl-beta!")
        # In the middle of the line.
        self.assertEqual(self.t.line("x compl-b y", ("Left", "Left"), ("Tab",)), "x compl-beta y")
        # Several: the candidates are listed and the edit ends with an empty line; the next one
        # starts with the line completed to their common prefix.
        self.assertEqual(self.t.line("compl-al", ("Tab",), enter=False), "")
        self.assertIn(">> compl-alpha compl-alpine", self.t.everything())
        self.t.wait_for(lambda s: s.rstrip().endswith(">> compl-alp"))
        self.assertEqual(self.t.line("ine"), "compl-alpine")


class Screen(unittest.TestCase):
    def test_long_line_wraps_and_is_edited_in_its_middle(self):
        t = Tmux([PROBE], columns=20, rows=10)
        try:
            text = "".join(chr(ord("a") + i % 26) for i in range(50))
            t.text(text)
            t.keys("Home", *["Right"] * 25)
            t.text("XYZ")
            t.keys("Left", "Left", "Left", "Left", "BSpace", "DC")
            expected = text[:23] + "XYZ" + text[25:]
            shown = ">> " + expected
            t.wait_for(lambda s: s.split("\n")[:3] == [shown[0:20], shown[20:40], shown[40:60]])
            self.assertEqual(t.line(), expected)
        finally:
            t.close()

    def test_wide_characters_and_hidden_input(self):
        t = Tmux([PROBE], columns=10, rows=10)
        try:
            # ">> abcdef" takes 9 cells: the wide character goes to the next row.
            t.text("abcdef\u4e2d\u6587")
            t.wait_for(lambda s: s.split("\n")[:2] == [">> abcdef", "\u4e2d\u6587"])
            self.assertEqual(t.line(("Left",), "x"), "abcdef\u4e2dx\u6587")
        finally:
            t.close()
        t = Tmux([PROBE, "--hide", "--prompt", "Password: "], columns=40, prompt="Password:")
        try:
            t.text("se\tcret")
            t.wait_for(lambda s: "Password: **********" in s)
            self.assertNotIn("cret", "\n".join(t.screen()))
            self.assertEqual(t.line(("Tab",)), "se^-cret^-")
        finally:
            t.close()

    def test_resized_window(self):
        t = Tmux([PROBE], columns=40, rows=10)
        try:
            self.assertEqual(t.line("size"), "size")
            t.wait_for(lambda s: "40x10" in s)
            t.tmux("resize-window", "-x", "30", "-y", "8")
            t.text("abc")
            t.wait_for(lambda s: ">> abc" in s)
            self.assertEqual(t.line(("Home",), "size"), "sizeabc")
            self.assertEqual(t.line("size"), "size")
            t.wait_for(lambda s: "30x8" in s)
        finally:
            t.close()


class TerminalMode(unittest.TestCase):
    def test_raw_during_the_edit_and_restored_after_ctrl_c(self):
        p = OnPty([])
        try:
            p.read_until(b">> ")
            raw = p.mode()
            for flag in (termios.ICANON, termios.ECHO, termios.ISIG):
                self.assertFalse(lflags(raw) & flag)
            p.send(b"abc\x03")
            self.assertEqual(p.wait(), 0)
            self.assertEqual(p.mode(), p.initial)
            self.assertIn(b"=> q", p.out)
        finally:
            p.close()

    def test_restored_when_terminated(self):
        for sig in (signal.SIGTERM, signal.SIGHUP):
            p = OnPty([])
            try:
                p.read_until(b">> ")
                self.assertNotEqual(p.mode(), p.initial)
                p.proc.send_signal(sig)
                self.assertEqual(p.wait(), -sig)
                self.assertEqual(p.mode(), p.initial)
            finally:
                p.close()

    def test_keys_typed_ahead_are_kept(self):
        p = OnPty([])
        try:
            p.send(b"early\r")
            p.read_until(b"=> early")
        finally:
            p.close()

    def test_escape_alone_and_in_a_sequence(self):
        p = OnPty([])
        try:
            p.read_until(b">> ")
            # An arrow key arrives in one piece: ESC starts its sequence.
            p.send(b"ab\x1b[Dc\r")
            p.read_until(b"=> acb")
            # ESC and nothing after it: the Escape key.
            p.send(b"xy")
            time.sleep(0.2)
            p.send(b"\x1b")
            p.read_until(b"=> xy^[")
            # UTF-8 characters arrive whole or in pieces.
            p.send(b"\xc3")
            time.sleep(0.1)
            p.send(b"\xa9\xe4\xb8\xad\r")
            p.read_until("=> \u00e9\u4e2d".encode())
        finally:
            p.close()


class Redirected(unittest.TestCase):
    def test_lines_from_a_pipe_then_the_end(self):
        r = subprocess.run([PROBE], input="one\r\ntwo \u00e9\u4e2d\U0001d11e\n\nlast".encode(),
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0)
        # No prompt, no editing; at the end an empty line, and the next read ends the program.
        self.assertEqual(r.stdout.decode().split("\n"),
                         ["=> one\r", "=> two \u00e9\u4e2d\U0001d11e", "=> ", "=> last", "=> ", ""])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
