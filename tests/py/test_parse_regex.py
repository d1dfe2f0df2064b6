#!/usr/bin/env python3
"""Differential test of the parse dialect's text matching against Python's regular expressions.

Random rule blocks over literal strings and characters, built from sequences, alternatives,
any / some / opt, counted repetition, skip, end, to / thru and [not ...] / [ahead ...], are run
through probe_parse (KEL_PROBE_DIR) on random inputs and compared with the same grammar written
as a regular expression. Parse commits to the first alternative that matches and never gives
back what a repetition took, so every rule block becomes an atomic group and every repetition a
possessive quantifier; the whole rule block must match the whole input. Rules are matched both
ignoring case (re.IGNORECASE) and with /case. The alphabet mixes one-, two- and four-byte
characters so that inputs and rules of every string unit width meet.

The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import os
import random
import re
import subprocess
import sys

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "tests")), "probe_parse")
ALPHABET = "aabbAB\u00e9\u00c9\u0436\u0416\U00010400\U00010428"
ROUNDS = int(os.environ.get("KEL_PARSE_ROUNDS", "4000"))


def kel_string(s):
    return '"' + s.replace("^", "^^").replace('"', '^"') + '"'


class Gen:
    """Random rules as (kel text, regex text) pairs."""

    def __init__(self, rng):
        self.rng = rng

    def literal(self):
        r = self.rng
        if r.random() < 0.3:
            c = r.choice(ALPHABET)
            return f'#"{c}"', re.escape(c)
        s = "".join(r.choice(ALPHABET) for _ in range(r.randint(1, 3)))
        return kel_string(s), re.escape(s)

    def block(self, depth):
        alternatives = [self.sequence(depth) for _ in range(self.rng.choice((1, 1, 2, 3)))]
        kel = " | ".join(k for k, _ in alternatives)
        rx = "|".join(f"(?:{x})" for _, x in alternatives)
        return f"[{kel}]", f"(?>{rx})"

    def sequence(self, depth):
        items = [self.item(depth) for _ in range(self.rng.randint(0 if depth else 1, 3))]
        return " ".join(k for k, _ in items), "".join(x for _, x in items)

    def operand(self, depth):
        return self.block(depth - 1) if depth > 0 and self.rng.random() < 0.4 else self.literal()

    def item(self, depth):
        r = self.rng
        kind = r.choice(("lit", "lit", "lit", "any", "some", "opt", "count", "skip", "end", "to", "thru",
                         "not", "ahead", "block"))
        if kind == "lit":
            return self.literal()
        if kind in ("any", "some", "opt"):
            k, x = self.operand(depth)
            return f"{kind} {k}", f"(?:{x})" + {"any": "*+", "some": "++", "opt": "?+"}[kind]
        if kind == "count":
            # Counted repetition of rules that always consume: the progress guard never stops it.
            k, x = self.literal()
            n = r.randint(0, 3)
            if r.random() < 0.5:
                m = r.randint(n, n + 2)
                return f"{n} {m} {k}", f"(?:{x}){{{n},{m}}}+"
            return f"{n} {k}", f"(?:{x}){{{n}}}"
        if kind == "skip":
            return "skip", "."
        if kind == "end":
            return "end", r"\Z"
        if kind in ("to", "thru"):
            k, x = self.operand(depth)
            return (f"{kind} {k}", f"(?>.*?(?={x}))" if kind == "to" else f"(?>.*?{x})")
        if kind in ("not", "ahead"):
            # In a block of its own, so that a failed block puts the input back.
            k, x = self.operand(depth)
            return f"[{kind} {k}]", f"(?!{x})" if kind == "not" else f"(?={x})"
        return self.block(depth - 1) if depth > 0 else self.literal()


def hexed(s):
    return s.encode("utf-8").hex() or "-"


def run_probe(lines):
    out = subprocess.run([PROBE], input="\n".join(lines) + "\n", capture_output=True, text=True, check=True).stdout
    result = out.split("\n")[:-1]
    assert len(result) == len(lines), f"probe answered {len(result)} lines for {len(lines)}"
    return result


def main():
    if run_probe(["match 0 - -"]) == ["nolexer"]:
        print("probe_parse was built without the lexer: skipped")
        return 0
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print(f"seed {seed}")
    rng = random.Random(seed)
    gen = Gen(rng)
    cases = []
    for _ in range(ROUNDS):
        kel, rx = gen.block(3)
        mode = rng.choice((0, 2))
        # Ignoring case: every letter of the alphabet has one lower-case form, so the rules and
        # the text are compared lowered (Python's IGNORECASE misses four-byte letters inside an
        # alternation or a character set). The only letter an escape holds is the Z of \Z.
        fold = (lambda t: t.lower()) if mode == 0 else (lambda t: t)
        pattern = re.compile(f"(?:{fold(rx).replace(chr(92) + 'z', chr(92) + 'Z')})\\Z", re.DOTALL)
        # Inputs that the rules accept are rare by chance: half of them are made from the
        # literals of the rules, so that most cases get past the first few elements.
        pieces = re.findall(r'"((?:[^"^]|\^.)*)"', kel) + re.findall(r'#"(.)"', kel)
        for _ in range(4):
            if pieces and rng.random() < 0.5:
                text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 4)))
            else:
                text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 6)))
            cases.append((mode, kel, text, "true" if pattern.match(fold(text)) else "false", rx))
    answers = run_probe([f"match {m} {hexed(k)} {hexed(t)}" for m, k, t, _, _ in cases])
    failures = [(c, a) for c, a in zip(cases, answers) if a != c[3]]
    matched = sum(1 for c in cases if c[3] == "true")
    for (mode, kel, text, want, rx), got in failures[:15]:
        print(f"mode {mode} rules [{kel}] input {text!r}: got {got}, regex {rx!r} says {want}")
    print(f"{len(cases) - len(failures)} agreed ({matched} matches), {len(failures)} differed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
