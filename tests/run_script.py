#!/usr/bin/env python3
"""Runs one Kel script test: NAME.kel with its expected NAME.out (standard output) and NAME.status
(exit status, 0 when absent); NAME.stdin feeds standard input and NAME.args (one argument per line,
an empty line an empty argument) adds command-line arguments after the script. A test named NAME.cmd instead gives the whole command
line after `kel`, one argument per line (an empty file starts the console with no argument). The
program runs from the test's folder with HOME set to a fresh temporary folder, so no test sees or
writes the user's settings."""
import difflib
import os
import subprocess
import sys
import tempfile


def main():
    kel, script = sys.argv[1], os.path.abspath(sys.argv[2])
    base, kind = os.path.splitext(script)

    def read(suffix, default=None, binary=False):
        path = base + suffix
        if not os.path.exists(path):
            return default
        with open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
            return f.read()

    expected_out = read(".out", b"", binary=True)
    expected_status = int((read(".status") or "0").strip())
    stdin = read(".stdin", b"", binary=True)
    def lines(text):
        # One argument per line; an empty line is an empty argument.
        return text[:-1].split("\n") if text.endswith("\n") else text.split("\n") if text else []

    command = [kel, script] + lines(read(".args") or "")
    if kind == ".cmd":
        command = [kel] + lines(read(".cmd"))

    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, HOME=home, KEL_TEST="1")
        env.pop("COLUMNS", None)
        # Under collection torture every allocation collects: a script that allocates much (the
        # tracer's) runs for most of a minute on a fast machine.
        limit = 100 if os.environ.get("KEL_GC_TORTURE", "0") == "0" else 280
        try:
            proc = subprocess.run(command, input=stdin, capture_output=True,
                                  cwd=os.path.dirname(script), env=env, timeout=limit)
        except subprocess.TimeoutExpired:
            print("FAIL: timed out")
            return 1
    ok = True
    if proc.stdout != expected_out:
        ok = False
        print("FAIL: standard output differs")
        exp = expected_out.decode("utf-8", "replace").splitlines(keepends=True)
        got = proc.stdout.decode("utf-8", "replace").splitlines(keepends=True)
        sys.stdout.writelines(difflib.unified_diff(exp, got, "expected", "actual"))
        print()
    if proc.returncode != expected_status:
        ok = False
        print(f"FAIL: exit status {proc.returncode}, expected {expected_status}")
    if not ok and proc.stderr:
        print("standard error:")
        print(proc.stderr.decode("utf-8", "replace"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
