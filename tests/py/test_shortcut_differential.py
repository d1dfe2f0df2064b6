#!/usr/bin/env python3
"""Differential test of the interpreter's shortcuts against its general path.

Untraced, the interpreter answers common shapes without its general machinery: operators on two
numbers inline, if / unless / either run in the caller's frame, calls by value without the walk
of the argument cache, set-words and loop code that can show no frame done without one. Under
do/trace every evaluation takes the general path. Random programs (set-words and chains,
operators on numbers and on other values, parens, object fields, calls with refinements and
literal arguments, loops and conditionals, operators and natives redefined while they run, the
code block changed from inside itself, literal unset and none values) run both ways from the
same state; the result or the error (id, near, where, arguments, frame depth relative to a known
error) and the words the program sets must be the same.

The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import os
import random
import subprocess
import sys
import tempfile

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "release", "kel")
BATCHES = int(os.environ.get("KEL_SHORTCUT_BATCHES", "3"))
PER_BATCH = 200

VARS = ["x", "y", "z", "k"]
OPS = ["+", "-", "*", "%", "/", "<", ">", "=", "<>", "==", "<=", ">=", "op2"]
NUMBERS = ["0", "1", "2", "-1", "3", "7", "2147483647", "-2147483648", "1.5", "0.0", "-2.5", "1e308"]
OTHERS = ['"a"', "none", "true", '#"c"', "'w", "[1 2]", "1x2", "10%", "#(unset)", "#(none)"]
CALLS = ["f ", "g ", "g/r 1 ", "o/m ", "h ", "(h) ", "get 'x ", "add 1 ", "lesser? 2 "]
REDEFINITIONS = [
    "set '+ :-", "set '< :>", "set '% :*", "+: make op! func [a b] [add a add b 1]", "+: 5", "unset 'k",
    "k: func [] [4]", 'k: "s"', "o/v: 2.5", "o/v: does [1]", "o: none", "f: func [a] [a + 1]", "f: 3",
    "if: :unless", "either: func [c a b] [do b]", "g: :h", "op2: make op! :subtract",
    "op2: make op! func [a b] [a]", "o/m: none",
]
# Changes of the running block that never put code back before the position being evaluated
# (which would run the same change again, for ever, on either path).
CODE_CHANGES = ["remove b", "clear next b", "change b [y:]", "append b [z: z - 1]", "remove back tail b",
                "change next b quote +", "append b 5", "b: [x: 0]"]

PRELUDE = r"""Kel []
_add: :add _lt: :lesser?
saved-words: [+ - * % < > = <> == <= >= / if either unless loop while add subtract lesser?]
saved: copy [] foreach w saved-words [append/only saved get w]
quiet: func [event code offset value ref frame] [[] none]
restore: does [foreach w saved-words [set w pick saved index? find saved-words w]]
reset: does [
    restore
    guard: 0 x: 1 y: 2 z: 3 k: 0 b: none
    o: make object! [v: 1 m: func [a] [a + v]]
    f: func [a] [a]
    g: func [a /r b] [either r [a + b] [a]]
    h: func ['w] [w]
    op2: make op! func [a b] [a * b]
]
describe: func [r [any-type!] base /local e] [
    either error? get/any 'r [
        e: :r
        rejoin [mold e/id " near " mold/flat e/near " where " mold e/where " args "
            mold/flat/part reduce [get/any in e 'arg1 get/any in e 'arg2 get/any in e 'arg3] 200
            " stack " e/stack - base]
    ][either unset? get/any 'r ["unset"] [mold/flat/part get/any 'r 200]]
]
state: does [mold/flat/part reduce [get/any 'x get/any 'y get/any 'z get/any 'k :o :b :g :h :op2] 400]
base-plain: (e: try [do [1 / 0]] e/stack)
base-traced: none do/trace [base-traced: (e: try [do [1 / 0]] e/stack)] :quiet
check: func [n src /local plain traced plain-state traced-state] [
    reset
    set/any 'plain try [do load src]
    plain-state: state
    restore
    plain: describe get/any 'plain base-plain
    reset
    do/trace [set/any 'traced try [do load src]] :quiet
    traced-state: state
    restore
    traced: describe get/any 'traced base-traced
    reset
    unless all [plain = traced plain-state = traced-state] [
        print ["DIFF" n mold src]
        print ["  untraced:" plain plain-state]
        print ["  traced:  " traced traced-state]
    ]
]
"""


class Gen:
    def __init__(self, rng):
        self.r = rng

    def operand(self, d):
        r = self.r.random()
        if r < 0.35:
            return self.r.choice(NUMBERS)
        if r < 0.62:
            return self.r.choice(VARS)
        if r < 0.70:
            return self.r.choice(OTHERS)
        if r < 0.76:
            return "o/v"
        if r < 0.86 and d < 3:
            return "(" + self.expr(d + 1) + ")"
        if d < 3:
            return self.r.choice(CALLS) + self.operand(d + 1)
        return self.r.choice(NUMBERS)

    def expr(self, d=0):
        s = self.operand(d)
        for _ in range(self.r.choice([0, 1, 1, 2, 3])):
            s += " " + self.r.choice(OPS) + " " + self.operand(d)
        return s

    def body(self, d):
        return " ".join(self.statement(d) for _ in range(self.r.choice([1, 2, 3, 4])))

    def statement(self, d=0):
        r = self.r.random()
        if r < 0.40:
            return " ".join(v + ":" for v in self.r.sample(VARS, self.r.choice([1, 1, 1, 2]))) + " " + self.expr(d)
        if r < 0.44:
            return self.r.choice(VARS) + ": " + self.r.choice(["#(unset)", "(#(unset))", "#(none)"])
        if r < 0.52:
            return self.expr(d)
        if r < 0.58 and d < 2:
            return "if " + self.expr(d) + " [" + self.body(d + 1) + "]"
        if r < 0.63 and d < 2:
            return "either " + self.expr(d) + " [" + self.body(d + 1) + "] [" + self.body(d + 1) + "]"
        if r < 0.68 and d < 2:
            return "loop " + self.r.choice(["0", "1", "2", "3"]) + " [" + self.body(d + 1) + "]"
        if r < 0.73:
            return self.r.choice(REDEFINITIONS)
        if r < 0.81:
            return self.r.choice(CODE_CHANGES)
        if r < 0.85 and d < 2:
            return "while [" + self.expr(d) + self.r.choice(["", " k < 3"]) + "] [" + self.body(d + 1) + " break]"
        if r < 0.92:
            return "o/v: " + self.expr(d)
        return "k: " + self.expr(d)

    def program(self):
        top = self.r.random()
        body = self.body(1)
        if top < 0.6:
            return "b: [" + body + "] loop " + self.r.choice(["1", "2", "3"]) + " b"
        if top < 0.8:
            # Bounded by a counter that nothing redefined can reach.
            return "b: [" + body + "] while [all [x < 10 _lt (guard: _add guard 1) 50]] b"
        return self.body(0)


def main():
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print(f"seed {seed}")
    rng = random.Random(seed)
    gen = Gen(rng)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for batch in range(BATCHES):
            programs = [gen.program() for _ in range(PER_BATCH)]
            lines = [PRELUDE, "programs: ["]
            lines += ["{" + p + "}" for p in programs]
            lines.append("]")
            lines.append('n: 0 foreach p programs [n: n + 1 check n p] print "done"')
            path = os.path.join(tmp, f"batch{batch}.kel")
            with open(path, "w") as f:
                f.write("\n".join(lines) + "\n")
            run = subprocess.run([KEL, path], capture_output=True, text=True, timeout=600)
            out = run.stdout + run.stderr
            if run.returncode != 0 or not out.rstrip().endswith("done") or "DIFF" in out:
                failures += 1
                print(f"batch {batch} (exit {run.returncode}):")
                print(out[-4000:])
    if failures:
        print(f"FAILED with seed {seed}")
        sys.exit(1)
    print(f"{BATCHES * PER_BATCH} programs agree")


if __name__ == "__main__":
    main()
