#!/usr/bin/env python3
"""A window on a real pseudo-terminal: `view` shows a button inline, a mouse report clicks it,
the actor's change is drawn, Escape closes the window, the script goes on, and the terminal is
back in the modes it had before. The test plays the terminal: it answers cursor-position requests
and reads the frames the program writes."""
import fcntl
import os
import re
import select
import struct
import sys
import tempfile
import termios
import time
import unittest

import pty_child

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"
CSI = re.compile(rb"\x1b\[[0-9;?<]*[@-~]")

SCRIPT = """Kel []
system/view/platform/mouse-event?: true
clicks: 0
view [b: button "Press" [clicks: clicks + 1  b/text: "Done!"]]
print ["clicks:" clicks]
print "after"
"""


class Window:
    def __init__(self, script, columns=60, rows=20):
        self.file = tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False)
        self.file.write(script)
        self.file.close()
        started = pty_child.start_on_pty([KEL, self.file.name], columns, rows)
        self.proc, self.master, self.slave, self.initial = started
        self.out = b""
        self.answered = 0
        self.answer_delay = 0.0

    def pump(self, timeout=0.1):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if ready:
            try:
                self.out += os.read(self.master, 65536)
            except OSError:
                return
        # The drawing starts on the first row of the screen.
        while self.out.count(b"\x1b[6n") > self.answered:
            time.sleep(self.answer_delay)
            os.write(self.master, b"\x1b[1;1R")
            self.answered += 1

    def wait_for(self, predicate, what, timeout=10):
        deadline = time.monotonic() + timeout
        while not predicate():
            if time.monotonic() > deadline:
                raise AssertionError(f"{what} never came; got {self.out!r}")
            self.pump()

    def last_frame(self):
        """The rows of the last frame, escape sequences taken out."""
        frame = self.out[self.out.rfind(b"\x1b[0J") + 4:]
        return [CSI.sub(b"", row).decode("utf-8", "replace") for row in frame.split(b"\r\n")]

    def find(self, text):
        for row, line in enumerate(self.last_frame()):
            column = line.find(text)
            if column >= 0:
                return column, row
        return None

    def close(self):
        pty_child.stop_on_pty(self.proc, self.master, self.slave)
        os.unlink(self.file.name)


class TuiWindow(unittest.TestCase):
    def test_click_a_button_then_escape(self):
        w = Window(SCRIPT)
        try:
            w.wait_for(lambda: w.find("Press") is not None, "the button")
            during = termios.tcgetattr(w.slave)
            self.assertFalse(during[3] & (termios.ECHO | termios.ICANON))
            self.assertIn(b"\x1b[?1000h\x1b[?1003h\x1b[?1015h\x1b[?1006h", w.out)
            column, row = w.find("Press")
            # SGR reports count from 1; the drawing's first row is the screen's first row.
            report = f"\x1b[<0;{column + 2};{row + 1}".encode()
            os.write(w.master, report + b"M" + report + b"m")
            w.wait_for(lambda: w.find("Done!") is not None, "the actor's change")
            # Escape alone in a frame is the Escape key.
            os.write(w.master, b"\x1b")
            w.wait_for(lambda: b"after" in w.out, "the rest of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0)
            text = CSI.sub(b"", w.out).decode("utf-8", "replace")
            self.assertIn("clicks: 1", text)
            # Mouse reporting and the cursor are given back, and so are the input modes.
            tail = w.out[w.out.rfind(b"Done!"):]
            self.assertIn(b"\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l", tail)
            self.assertIn(b"\x1b[?25h", tail)
            self.assertLess(tail.find(b"\x1b[?25h"), tail.find(b"clicks: 1"))
            after = termios.tcgetattr(w.slave)
            self.assertEqual(after[3], w.initial[3])
            self.assertEqual(after[0], w.initial[0])
        finally:
            w.close()

    def test_an_actor_that_prints_and_closes_leaves_a_clean_console(self):
        # The print asks where the cursor went; the answer comes late, after the window closed.
        w = Window('Kel []\nview [button "Go" rate 20 on-time [print "printed" unview]]\nprint "after"\n')
        w.answer_delay = 0.05
        try:
            w.wait_for(lambda: b"after" in w.out, "the rest of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.3)
            # Not echoed back as text once the terminal is cooked again.
            self.assertNotIn(b"1;1R", w.out)
            # The erased drawing is not stepped over: "after" follows the printed line directly.
            tail = w.out[w.out.rfind(b"printed"):]
            self.assertEqual(CSI.sub(b"", tail), b"printed\r\nafter\r\n")
        finally:
            w.close()

    def test_an_actor_that_writes_to_standard_output_erases_the_drawing_first(self):
        # write-stdout makes way for the drawing as print does: the drawing goes, the text is
        # written from the drawing's start, and the next frame is drawn below it.
        w = Window('Kel []\nn: 0\nview [button "Go" rate 20 on-time [\n'
                   '    n: n + 1 write-stdout rejoin ["written" n "^/"] if n = 2 [unview]]]\nprint "after"\n')
        try:
            w.wait_for(lambda: b"after" in w.out, "the rest of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.3)
            for n in (b"1", b"2"):
                at = w.out.find(b"written" + n)
                self.assertTrue(w.out[:at].endswith(b"\x1b[0J"), w.out)
            self.assertIn(b"written1\r\n\x1b[6n", w.out)
        finally:
            w.close()

    def test_an_error_while_a_frame_is_painted_ends_the_view_not_the_script(self):
        # The draw block's set-word belongs to a function that has returned: setting it fails
        # while the face is painted, inside the event loop.
        w = Window("Kel []\nmk: func [/local a][[a: box 0x0 2x2]]\n"
                   "win: make face! [type: 'window size: 20x3]\n"
                   "win/pane: reduce [make face! [type: 'base size: 10x3 draw: mk]]\n"
                   "view win\nprint \"after\"\n")
        try:
            w.wait_for(lambda: b"after" in w.out, "the rest of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            text = CSI.sub(b"", w.out).decode("utf-8", "replace")
            self.assertIn("a: word is not bound", text)
            self.assertNotIn("result: word is not bound", text)
        finally:
            w.close()

    def test_a_resize_reaches_the_window_also_when_the_script_reads_the_size(self):
        # Reading the size re-reads it; the loop must still notice that it changed.
        for probe in ("", "system/view/platform/get-screen-size 0"):
            with self.subTest(probe=probe):
                w = Window("Kel []\nresizes: 0 ticks: 0\n"
                           "view/options [text \"Ready\" base rate 2000 on-time [" + probe +
                           " ticks: ticks + 1 if resizes > 0 [unview]]]"
                           " [actors: make object! [on-resize: func [f e][resizes: resizes + 1]]]\n"
                           "print [\"resizes:\" resizes system/view/screens/1/size]\n")
                try:
                    w.wait_for(lambda: w.find("Ready") is not None, "the window")
                    fcntl.ioctl(w.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 70, 0, 0))
                    w.wait_for(lambda: b"resizes:" in w.out, "the end of the view")
                    self.assertEqual(w.proc.wait(timeout=10), 0)
                    w.pump(0.2)
                    self.assertIn("resizes: 1 70x25", CSI.sub(b"", w.out).decode("utf-8", "replace"))
                finally:
                    w.close()

    def test_a_draw_error_after_a_frame_is_shown_erases_the_drawing_before_the_report(self):
        w = Window("Kel []\nn: 0\nview [b: base 10x3 draw [line 0x0 5x5] rate 20 on-time [\n"
                   "    n: n + 1 if n = 2 [b/draw: [line 0x0 bad]] if n > 4 [unview]]]\nprint \"after\"\n")
        try:
            w.wait_for(lambda: b"after" in w.out, "the rest of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            at = w.out.find(b"*** Script Error")
            self.assertGreater(at, w.out.find(b"\xe2\x96\x88"), w.out)  # after a drawn frame
            self.assertTrue(w.out[:at].endswith(b"\x1b[0J"), w.out)
            w.pump(0.3)
            self.assertNotIn(b"1;1R", w.out)  # the cursor report the print asked for is not echoed
        finally:
            w.close()

    def test_a_waiting_view_after_view_no_wait_is_drawn_and_waits(self):
        # The window left open by view/no-wait does not make the next waiting view an inner loop:
        # that view draws its window, takes the keys and waits until it is closed; the first
        # window is drawn again by a later do-events.
        w = Window("Kel []\n"
                   "w1: view/no-wait [f1: field \"\" on-enter [unview/only w1]]\n"
                   "view [f2: field \"\" on-enter [unview]]\n"
                   "print [\"second:\" mold f2/text length? system/view/screens/1/pane]\n"
                   "r: do-events\n"
                   "print [\"first:\" mold f1/text mold r length? system/view/screens/1/pane]\n")
        try:
            w.wait_for(lambda: b"\x1b[0J" in w.out, "a frame")
            os.write(w.master, b"two")
            w.wait_for(lambda: w.find("two") is not None, "the key typed into the second window")
            os.write(w.master, b"\r")
            w.wait_for(lambda: b"second:" in w.out, "the end of the second window")
            self.assertIsNone(w.find("one"))
            os.write(w.master, b"one")
            w.wait_for(lambda: w.find("one") is not None, "the key typed into the first window")
            os.write(w.master, b"\r")
            w.wait_for(lambda: b"first:" in w.out, "the end of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.2)
            text = CSI.sub(b"", w.out).decode("utf-8", "replace")
            self.assertIn('second: "two" 1', text)
            self.assertIn('first: "one" true 0', text)
            self.assertEqual(termios.tcgetattr(w.slave)[3], w.initial[3])
        finally:
            w.close()

    def test_do_events_after_stop_events_draws_the_window_again(self):
        w = Window("Kel []\n"
                   "view [f: field \"\" on-enter [stop-events] on-key [if event/key = #\"q\" [unview]]]\n"
                   "print [\"stopped:\" mold f/text]\n"
                   "do-events\n"
                   "print [\"closed:\" mold f/text length? system/view/screens/1/pane]\n")
        try:
            os.write(w.master, b"ab")
            w.wait_for(lambda: w.find("ab") is not None, "the typed text")
            os.write(w.master, b"\r")
            w.wait_for(lambda: b"stopped:" in w.out, "the stopped loop")
            at = len(w.out)
            w.wait_for(lambda: b"ab" in w.out[at:], "the window drawn again")
            os.write(w.master, b"cq")
            w.wait_for(lambda: b"closed:" in w.out, "the end of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.2)
            self.assertIn('closed: "abc" 0', CSI.sub(b"", w.out).decode("utf-8", "replace"))
        finally:
            w.close()

    def test_an_actor_s_do_events_ended_by_stop_events_leaves_its_caller_s_loop_running(self):
        w = Window("Kel []\n"
                   "view [f: field \"\" on-enter [do-events print \"inner back\"]\n"
                   "    on-key [if event/key = #\"s\" [stop-events] if event/key = #\"q\" [unview]]]\n"
                   "print [\"closed:\" mold f/text length? system/view/screens/1/pane]\n")
        try:
            os.write(w.master, b"a\r")
            w.wait_for(lambda: w.find("a") is not None, "the typed text")
            os.write(w.master, b"s")
            w.wait_for(lambda: b"inner back" in w.out, "the end of the inner loop")
            # The outer loop still draws and reads keys; only q closes the window.
            os.write(w.master, b"b")
            w.wait_for(lambda: w.find("asb") is not None, "a key typed after the inner loop")
            self.assertNotIn(b"closed:", w.out)
            os.write(w.master, b"q")
            w.wait_for(lambda: b"closed:" in w.out, "the end of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.2)
            self.assertIn('closed: "asb', CSI.sub(b"", w.out).decode("utf-8", "replace"))
            self.assertEqual(termios.tcgetattr(w.slave)[3], w.initial[3])
        finally:
            w.close()

    def test_a_window_viewed_again_from_its_own_actor_ends_both_loops_when_closed(self):
        w = Window("Kel []\n"
                   "win: layout [f: field \"\" on-enter [view win print \"inner back\"]]\n"
                   "view win\n"
                   "print [\"after:\" length? system/view/screens/1/pane]\n")
        try:
            os.write(w.master, b"a\r")
            w.wait_for(lambda: w.find("a") is not None, "the typed text")
            os.write(w.master, b"\x1b")
            w.wait_for(lambda: b"after:" in w.out, "the end of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.2)
            text = CSI.sub(b"", w.out).decode("utf-8", "replace")
            self.assertIn("inner back", text)
            self.assertIn("after: 0", text)
            self.assertEqual(termios.tcgetattr(w.slave)[3], w.initial[3])
        finally:
            w.close()

    def test_a_script_without_a_window_leaves_the_terminal_alone(self):
        w = Window('Kel []\nprint "plain"\n')
        try:
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.2)
            self.assertIn(b"plain\r\n", w.out)
            self.assertNotIn(b"\x1b[?", w.out)
            self.assertNotIn(b"\x1b[6n", w.out)
            self.assertEqual(termios.tcgetattr(w.slave)[3], w.initial[3])
        finally:
            w.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
