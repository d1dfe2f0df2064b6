#!/usr/bin/env python3
"""Deep nesting on a small native stack ends in a language error, never a run-time error.

The interpreter normally runs on a thread with a stack of its own, but when no thread can be made
(a limit on processes or on memory) it runs on the main thread, whose stack is what `ulimit -s`
gave. The walks of nested values (mold, form, copy, bind) recursed up to 999 levels with no look
at the native stack: under a small limit they ran off its end and the process died with "Runtime
Error 19". Each case below must raise its language error and let the script, or the console, go
on. libshim_no_threads.so (KEL_PROBE_DIR) refuses every new thread.
"""
import os
import resource
import subprocess
import sys
import tempfile
import unittest

import limits

KEL = sys.argv[1] if len(sys.argv) > 1 else "kel"
SHIM = os.path.join(os.environ.get("KEL_PROBE_DIR", ""), "libshim_no_threads.so")

PRELUDE = """Kel []
deep: func [n /local b c] [b: copy [] c: b loop n [append/only c c: copy [1]] b]
b: deep 2000
o: context [x: none] p: o loop 2000 [p/x: context [x: none] p: p/x]
show: func [code /local e] [e: try code print either error? :e [e/id] ["no error"]]
"""

# Each case and the errors it may raise: too-deep where the cycle limit comes first, stack-overflow
# where the native stack does.
DEEP = ["too-deep", "stack-overflow"]
CASES = [
    ("mold b", DEEP),
    ("form b", DEEP),
    ("copy/deep b", DEEP),
    ("mold o", DEEP),
    ("bind b context [x: 1]", DEEP),
    ("mold load append/dup copy {} {[} 100000", ["too-deep"]),
    ("mold load append/dup append/dup copy {} {[} 5000 {]} 5000", DEEP),
    ("f: func [n] [f n + 1] f 1", ["stack-overflow"]),
    # The innermost try takes the overflow; each one above adds 1 to the error it answers.
    ("f: func [n] [1 + try [f n + 1]] f 1", ["expect-arg"]),
    ("g: func [a b] [sort/compare [3 2 1] :g] sort/compare [3 2 1] :g", ["stack-overflow"]),
    ("r: [skip r | end] parse append/dup copy {} {a} 100000 r", ["parse-stack", "stack-overflow"]),
    ("q: to path! 'o loop 5000 [append q 'x] do reduce [q]", ["stack-overflow", "bad-path-type"]),
    ("f: does [compose [(f)]] f", ["stack-overflow"]),
    ("to-json b", DEEP),
]

STACKS_KB = [8192, 256, 64]


def script_text():
    lines = [PRELUDE]
    for code, _ in CASES:
        lines.append(f"show [{code}]")
    lines.append('print "after"')
    return "\n".join(lines) + "\n"


def run(args, stack_kb, threads, stdin=None):
    size = stack_kb << 10

    def limit():
        resource.setrlimit(resource.RLIMIT_STACK, (size, size))

    # The native stack is what is measured here; collection torture only makes the deep walks
    # slow (minutes), and the collector's own depth is tested elsewhere.
    env = limits.without_torture()
    if not threads:
        env["LD_PRELOAD"] = SHIM
        # A sanitizer's run-time wants to be the first library loaded; the shim comes before it.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:" + env.get("ASAN_OPTIONS", "")
    return subprocess.run([KEL, *args], input=stdin, capture_output=True, text=True, timeout=300,
                          preexec_fn=limit, env=env)


class SmallStack(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(SHIM):
            self.skipTest("libshim_no_threads.so is not built")

    def configurations(self):
        for threads in (True, False):
            for kb in STACKS_KB:
                # A sanitizer's frames are several times larger: the smallest stack cannot hold
                # the environment's own start-up there.
                if kb < 256 and limits.sanitizer_build(KEL, also_undefined=True):
                    continue
                yield threads, kb

    def test_deep_values_raise_language_errors(self):
        with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
            f.write(script_text())
            f.flush()
            for threads, kb in self.configurations():
                with self.subTest(threads=threads, stack_kb=kb):
                    proc = run([f.name], kb, threads)
                    out = proc.stdout + proc.stderr
                    self.assertNotIn("Runtime Error", out)
                    self.assertEqual(proc.returncode, 0, out)
                    lines = proc.stdout.splitlines()
                    self.assertEqual(len(lines), len(CASES) + 1, out)
                    for (code, allowed), line in zip(CASES, lines):
                        self.assertIn(line, allowed, f"{code}: {out}")
                    self.assertEqual(lines[-1], "after")

    def test_console_goes_on_after_each_error(self):
        session = PRELUDE.split("\n", 1)[1]
        for code, _ in CASES:
            session += code + "\nprint {next}\n"
        for threads, kb in self.configurations():
            with self.subTest(threads=threads, stack_kb=kb):
                proc = run([], kb, threads, stdin=session)
                out = proc.stdout + proc.stderr
                self.assertNotIn("Runtime Error", out)
                self.assertEqual(proc.returncode, 0, out)
                self.assertEqual(proc.stdout.count("\nnext\n"), len(CASES), out)
                self.assertEqual(out.count("*** Internal Error") + out.count("*** Script Error"), len(CASES), out)

    def test_too_small_a_stack_is_refused_at_start(self):
        # With no thread, a stack of 40 KB or less ended start-up with "Runtime Error 19", and
        # the console at quit with its settings unsaved or status 254. Each stack either runs
        # the session and the script, or is refused at once with one clear line.
        if limits.sanitizer_build(KEL, also_undefined=True):
            self.skipTest("a sanitizer build's run-time needs more than the smallest stacks to load")
        with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
            f.write("Kel []\nprint 1 + 2\n")
            f.flush()
            refused = ran = 0
            # Below about 20 KB the dynamic loader itself may run off the stack, before the
            # program begins.
            for kb in (24, 32, 40, 48, 56, 64, 96):
                for args, stdin, expected in (([f.name], None, "3\n"), ([], "print 1 + 2\n", "\n3\n")):
                    with self.subTest(stack_kb=kb, args=args):
                        proc = run(args, kb, False, stdin=stdin)
                        out = proc.stdout + proc.stderr
                        self.assertNotIn("Runtime Error", out)
                        self.assertNotIn("Error:", out)
                        if proc.returncode == 19:
                            self.assertRegex(proc.stderr, r"^\*\*\* Not enough stack to start: \d+ KB, .* "
                                             r"\d+ KB are needed \(ulimit -s \d+ or more\)\n$")
                            self.assertEqual(proc.stdout, "")
                            refused += 1
                        else:
                            self.assertEqual(proc.returncode, 0, out)
                            self.assertTrue(proc.stdout.endswith(expected), out)
                            ran += 1
            self.assertGreater(refused, 0)
            self.assertGreater(ran, 0)

    def test_main_stack_under_an_address_space_limit(self):
        # Under a limit of a few tens of megabytes the thread's stack does not fit, and the main
        # thread evaluates (the shim makes it do so at every limit). Its stack grew only while the
        # limit left room: a deep recursion ran into the limit above the guard and died with
        # "Runtime Error 1". Each limit must refuse to start (out of memory), refuse the script
        # the memory as a language error, or run the script to its end.
        if limits.sanitizer_build(KEL, also_undefined=True):
            self.skipTest("a sanitizer build reserves more address space than the limit allows")
        text = PRELUDE + "show [f: func [n] [f n + 1] f 1]\nshow [mold b]\nprint \"after\"\n"
        with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
            f.write(text)
            f.flush()
            for threads in (True, False):
                env = limits.without_torture()
                if not threads:
                    env["LD_PRELOAD"] = SHIM
                ran = 0
                for mb in range(26, 64, 2):
                    size = mb << 20
                    proc = subprocess.run([KEL, f.name], capture_output=True, text=True, timeout=120,
                                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (size, size)),
                                          env=env)
                    out = proc.stdout + proc.stderr
                    with self.subTest(mb=mb, threads=threads):
                        if proc.returncode == 94 and "Runtime Error 94: out of memory" in out:
                            continue
                        self.assertNotIn("Runtime Error", out)
                        if proc.returncode == 1 and "*** Internal Error: not enough memory" in out:
                            continue
                        lines = proc.stdout.splitlines()
                        self.assertEqual(len(lines), 3, out)
                        # The recursion's frames may run out of memory before out of stack,
                        # depending on where the limit falls: either is a language error.
                        self.assertIn(lines[0], ["stack-overflow", "no-memory"], out)
                        self.assertIn(lines[1], [*DEEP, "no-memory"], out)
                        self.assertEqual(lines[2], "after", out)
                        ran += 1
                self.assertGreater(ran, 0, f"no limit let the script run (thread allowed: {threads})")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
