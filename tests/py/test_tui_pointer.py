#!/usr/bin/env python3
"""The pointer on a real pseudo-terminal: a press, a drag and a release keep going when an actor
or the dragging event function shows the window again while the button is held."""
import os
import sys
import time
import unittest

from test_tui_window import Window, KEL  # noqa: F401  (KEL is read from argv there)


def sgr(button, column, row, release=False):
    return f"\x1b[<{button};{column};{row}{'m' if release else 'M'}".encode()


DRAG = """Kel []
system/view/platform/mouse-event?: true
log: copy []
view [
    size 30x10
    d: base 4x2 "D" loose
        on-drag [append log reduce ['drag face/offset]]
        on-drop [append log reduce ['drop face/offset]]
    return
    b: button "Show" on-down [show face/parent] on-click [append log 'click]
    rate 2 on-time [if find log 'click [unview]]
]
print ["log:" mold/flat log]
print ["flags:" mold d/flags]
"""


class Pointer(unittest.TestCase):
    def test_drag_then_click_after_a_show(self):
        w = Window(DRAG)
        try:
            w.wait_for(lambda: w.find("D") is not None and w.find("Show") is not None, "the faces")
            steps = [
                sgr(35, 3, 3),         # the pointer comes over the base (1x1, 4x2)
                sgr(0, 3, 3),          # press inside it
                sgr(32, 4, 3),         # move right by one
                sgr(32, 5, 4),         # down by one: the pointer leaves the old rectangle
                sgr(32, 40, 20),       # far away: held inside the window's bounds
                sgr(0, 40, 20, True),  # release
            ]
            column, row = w.find("Show")
            steps += [sgr(35, column + 2, row + 1), sgr(0, column + 2, row + 1),
                      sgr(0, column + 2, row + 1, True)]
            for step in steps:
                os.write(w.master, step)
                # One report per frame, as a moving mouse sends them.
                end = time.monotonic() + 0.08
                while time.monotonic() < end:
                    w.pump(0.02)
            w.wait_for(lambda: b"flags:" in w.out, "the end of the script", timeout=15)
            self.assertEqual(w.proc.wait(timeout=10), 0)
            w.pump(0.1)
            text = w.out.decode("utf-8", "replace")
            # Bounds: the window's size less the base's, 26x8.
            self.assertIn("log: [drag (2.0, 1.0) drag (3.0, 2.0) drag (26.0, 8.0) drop (26.0, 8.0) click]",
                          text)
            self.assertIn("flags: none", text)
        finally:
            w.close()

    def test_what_closed_a_window_does_not_reach_the_next_one(self):
        # The first window closes on a key or a press; what came with it (an Escape after the key,
        # a button still held) belongs to it, not to the window opened next.
        cases = [
            ("key", 'view/options [text "First"] [actors: make object! [on-key: func [f e][unview]]]',
             b"a\x1b"),
            ("press", 'view [base "First" on-down [unview]]', sgr(0, 3, 2)),
        ]
        for name, first, closing in cases:
            with self.subTest(name):
                w = Window("Kel []\nsystem/view/platform/mouse-event?: true\n" + first + "\n"
                           "log: copy []\n"
                           "view [base \"Second\" on-down [append log 'down]"
                           " on-click [append log 'click unview] base rate 0:0:3 on-time [unview]]\n"
                           "print [\"log:\" mold log]\n")
                try:
                    w.wait_for(lambda: w.find("First") is not None, "the first window")
                    os.write(w.master, closing)
                    w.wait_for(lambda: w.find("Second") is not None, "the second window")
                    column, row = w.find("Second")
                    os.write(w.master, sgr(0, column + 1, row + 1))
                    w.pump(0.1)
                    os.write(w.master, sgr(0, column + 1, row + 1, True))
                    w.wait_for(lambda: b"log:" in w.out, "the end of the script")
                    self.assertEqual(w.proc.wait(timeout=10), 0)
                    w.pump(0.1)
                    self.assertIn("log: [down click]", w.out.decode("utf-8", "replace"))
                finally:
                    w.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
