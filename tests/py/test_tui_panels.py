#!/usr/bin/env python3
"""Panels on a real pseudo-terminal: a face moved with `move` from one panel's pane into
another's keeps its view, and what is typed into it afterwards is drawn in the window that now
holds it, also once the panel it came from is gone or its window is closed."""
import os
import sys
import unittest

from test_tui_window import Window, KEL  # noqa: F401  (KEL is read from argv there)


def sgr(button, column, row, release=False):
    return f"\x1b[<{button};{column};{row}{'m' if release else 'M'}".encode()


# The field leaves the first tab page, which is then taken out of the tab-panel.
SAME_WINDOW = """Kel []
system/view/platform/mouse-event?: true
view [
    tp: tab-panel select 1 ["A" [p1: panel 20x3 [b: field "field-b"]] "B" [text "bbb"]]
    p2: panel 20x3 [text "p2"]
    return
    button "go" [move find/same p1/pane b tail p2/pane  b/offset: 1x2  remove tp/pane
        m/text: "moved"]
    m: text "-----"
]
print ["text:" mold b/text]
"""

# The field leaves a second window for the first; the second window is then closed.
OTHER_WINDOW = """Kel []
system/view/platform/mouse-event?: true
view [
    p2: panel 20x3 []
    return
    button "open" [
        w1: view/no-wait [
            p1: panel 20x3 [b: field "field-b"]
            button "go" [move find/same p1/pane b p2/pane  unview/only w1  m/text: "moved"]
        ]
    ]
    m: text "-----"
]
print ["text:" mold b/text]
"""


class MovedFaces(unittest.TestCase):
    def click(self, w, text):
        w.wait_for(lambda: w.find(text) is not None, text)
        column, row = w.find(text)
        os.write(w.master, sgr(35, column + 2, row + 1) + sgr(0, column + 2, row + 1) +
                 sgr(0, column + 2, row + 1, True))

    def run_script(self, script, clicks):
        w = Window(script)
        try:
            for text in clicks:
                self.click(w, text)
            w.wait_for(lambda: w.find("moved") is not None, "the move")
            self.click(w, "field-b")
            os.write(w.master, b"xyz")
            w.wait_for(lambda: w.find("xyz") is not None, "the typed text drawn")
            os.write(w.master, b"\x1b")
            w.wait_for(lambda: b"text:" in w.out, "the end of the script")
            self.assertEqual(w.proc.wait(timeout=10), 0)
        finally:
            w.close()

    def test_typing_into_a_field_moved_out_of_a_removed_tab_page(self):
        self.run_script(SAME_WINDOW, ["go"])

    def test_typing_into_a_field_moved_in_from_a_closed_window(self):
        self.run_script(OTHER_WINDOW, ["open", "go"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
