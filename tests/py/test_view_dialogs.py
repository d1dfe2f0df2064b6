#!/usr/bin/env python3
"""Windows on a real terminal (tmux): Tab and Enter reach a button, Escape closes a window, the
message box closes on its keys, the file requester answers the chosen file and the folder
requester none when cancelled."""
import os
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

KEL = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else "kel"


class Tmux:
    """One script in a detached tmux session of its own."""

    def __init__(self, script, cwd, columns=100, rows=40):
        self.socket = "kel-" + uuid.uuid4().hex[:10]
        self.tmux("new-session", "-d", "-x", str(columns), "-y", str(rows), "-c", cwd,
                  f"'{KEL}' '{script}'; echo EXIT $?; sleep 60")

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null"] + list(args),
                              check=True, capture_output=True, text=True).stdout

    def screen(self):
        return self.tmux("capture-pane", "-p")

    def wait_for(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = self.screen()
            if text in s:
                return s
            time.sleep(0.05)
        raise AssertionError(f"{text!r} never appeared:\n{self.screen()}")

    def keys(self, *names):
        for name in names:
            self.tmux("send-keys", name)
            # Each key in its own frame, so an Escape is not read as the start of a sequence.
            time.sleep(0.15)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


class Dialogs(unittest.TestCase):
    def run_script(self, source, steps, setup=None):
        """Runs a script and, for each (text, keys) step, waits for the text and sends the keys;
        answers the lines that hold a colon or the exit status, in the order they were first
        seen (windows are drawn inline, so a later window may cover what was printed before).
        setup, when given, fills the script's folder instead of the usual two files and folder."""
        with tempfile.TemporaryDirectory() as folder:
            if setup:
                setup(folder)
            else:
                for name in ("a.txt", "b.cfg"):
                    with open(os.path.join(folder, name), "w") as f:
                        f.write("x\n")
                os.mkdir(os.path.join(folder, "sub"))
            script = os.path.join(folder, "run.kel")
            with open(script, "w") as f:
                f.write("Kel []\n" + source)
            t = Tmux(script, folder)
            screens = []
            try:
                for text, keys in steps:
                    screens.append(t.wait_for(text))
                    # The first frame is drawn before the loop reads its input.
                    time.sleep(0.3)
                    t.keys(*keys)
                screens.append(t.wait_for("EXIT"))
            finally:
                t.close()
        seen = []
        for screen in screens:
            for line in screen.split("\n"):
                line = line.strip()
                if line and line[0].isalpha() and (":" in line or line.startswith("EXIT")) \
                        and line not in seen:
                    seen.append(line)
        return seen

    def test_keys_reach_buttons_and_close_windows(self):
        lines = self.run_script(
            'clicked: no\n'
            'view [field "x" button "Go" [clicked: yes unview]]\n'
            'print ["clicked:" clicked]\n'
            'view [button "Stay" [print "no" unview]]\n'
            'print "escaped:"\n'
            'alert ["Hi" "there"]\n'
            'print "alert closed:"\n'
            # Space clicks the button, whose actor frees it with its window.
            'view [button "Bye" [unview]]\n'
            'print "space closed:"\n',
            [("Go", ["Tab", "Enter"]), ("Stay", ["Escape"]), ("Hi there", ["Space"]), ("Bye", ["Space"])])
        self.assertEqual(lines, ["clicked: true", "escaped:", "alert closed:", "space closed:", "EXIT 0"])

    def test_requesters_answer_the_choice_or_none(self):
        lines = self.run_script(
            'f: request-file/file "a.txt"\n'
            'print ["chosen:" second split-path f]\n'
            'print ["cancelled:" mold request-dir]\n',
            # Folders, files, the name field, then the Open button.
            [("Please choose a file:", ["Tab", "Tab", "Tab", "Enter"]),
             ("OK", ["Escape"])])
        self.assertEqual(lines, ["Please choose a file:", "chosen: a.txt", "cancelled: none", "EXIT 0"])

    def test_actors_that_close_their_window(self):
        # Each key reaches a widget whose actor closes the window, freeing the widget, the
        # window's record and, for a focus move, the face that was to get the focus.
        lines = self.run_script(
            'view [check "Chk" on-change [unview]]\n'
            'print "check:"\n'
            'view [radio "Rad" on-change [unview]]\n'
            'print "radio:"\n'
            'view [text-list 8x3 data ["Lst" "b"] on-select [unview]]\n'
            'print "list:"\n'
            'view [field "Fld" on-unfocus [unview] button "Next"]\n'
            'print "unfocus:"\n',
            [("Chk", ["Space"]), ("Rad", ["Space"]), ("Lst", ["Down"]), ("Next", ["Tab"])])
        self.assertEqual(lines, ["check:", "radio:", "list:", "unfocus:", "EXIT 0"])

    def test_entered_folder_is_shown_from_its_top(self):
        # Thirty folders, each holding only "inner/" and "inside.txt": a list scrolled down to one
        # of them, once entered, must show the new folder's lines, not from the old scroll position.
        def setup(folder):
            for i in range(30):
                os.makedirs(os.path.join(folder, f"f{i:02}", "inner"))
                with open(os.path.join(folder, f"f{i:02}", "inside.txt"), "w") as f:
                    f.write("x\n")
                with open(os.path.join(folder, f"file{i:02}.txt"), "w") as f:
                    f.write("x\n")
        down = ["Down"] * 25
        for requester, steps in (
                # The file requester: scroll the file list too, then enter a folder.
                ("request-file", [("Please choose a file:", ["Right"] + down + ["Left"] + down + ["Enter"]),
                                  ("inner/", []), ("inside.txt", ["Escape"])]),
                ("request-dir", [("Folders", down + ["Enter"]), ("inner/", ["Escape"])])):
            with self.subTest(requester):
                lines = self.run_script(f'print ["answer:" mold {requester}]\n', steps, setup)
                self.assertEqual(lines[-2:], ["answer: none", "EXIT 0"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
