#!/usr/bin/env python3
"""A program that `call` starts without waiting and that ends while the console waits at its
prompt is collected there, not left a zombie until the next call."""
import os
import re
import select
import sys
import tempfile
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


class Children(unittest.TestCase):
    def test_ended_child_is_collected_while_the_prompt_waits(self):
        with tempfile.TemporaryDirectory() as home:
            os.environ["HOME"] = home  # the settings file goes there
            proc, master, slave, _ = pty_child.start_on_pty([KEL], 80, 24)
            try:
                out = b""

                def read_until(pattern, timeout=20):
                    nonlocal out
                    deadline = time.monotonic() + timeout
                    while time.monotonic() < deadline:
                        m = re.search(pattern, out)
                        if m:
                            return m
                        if select.select([master], [], [], 0.1)[0]:
                            out += os.read(master, 4096)
                    raise AssertionError(f"{pattern!r} never came; got {out!r}")

                read_until(rb">> ")
                os.write(master, b'call "sleep 0.2"\r')
                child = int(read_until(rb"== (\d+)").group(1))
                read_until(rb"== \d+\r\n\x1b\[J>> ")
                deadline = time.monotonic() + 20
                while state_of(child) is not None and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertIsNone(state_of(child), "the ended child stays a zombie")
            finally:
                pty_child.stop_on_pty(proc, master, slave)


if __name__ == "__main__":
    unittest.main()
