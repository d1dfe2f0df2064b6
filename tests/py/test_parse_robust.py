#!/usr/bin/env python3
"""Random rule blocks of every keyword, value and misuse against random inputs through probe_parse.

Nothing is checked about the answers but their form: each parse ends with true, false, a
collected block or a language error, and the probe neither crashes nor hangs. The rules mix
keywords in and out of place, wrong and missing arguments, counts, positions, captures, edits of
the input, collection, nested blocks and alternatives, over text, block and binary! input.
(`while`, `insert` and `change` are left out: a rule that keeps inserting, or repeats without
consuming, runs for ever by design, and a `change` of an empty match is an insertion: under `to`
or `thru` it puts new input ahead of the search on every failed attempt.)

The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import os
import random
import subprocess
import sys

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "tests")), "probe_parse")
ROUNDS = int(os.environ.get("KEL_PARSE_ROUNDS", "3000"))
PARSE_RULE = None  # the catalog index of script parse-rule, read from boot/catalog.kel


def catalog_index(category, name):
    text = open(os.path.join(os.path.dirname(__file__), "..", "..", "boot", "catalog.kel")).read()
    block = text[text.index(f"\n{category}: make object! ["):]
    block = block[:block.index("\n]")]
    names = [line.strip().split(":")[0] for line in block.split("\n")[1:] if ":" in line]
    names = [n for n in names if n not in ("code", "type")]
    return names.index(name)

KEYWORDS = ["any", "some", "opt", "skip", "end", "none", "fail", "break", "reject", "quote", "if", "case",
            "to", "thru", "ahead", "not", "into", "set", "copy", "remove", "collect", "keep",
            "|", "only", "pick", "after", "end"]
VALUES = ['"a"', '"ab"', '""', '#"a"', '#"B"', "<a>", "#{61}", "'a", "'b", "a", "p:", ":p", "x", "a/b", "(1)",
          "(p)", "0", "1", "2", "-1", "3", "integer!", "word!", "none", "#(true)", "#(none)", "1.5", "%a", "[]"]
INPUTS_TEXT = ["", "a", "ab", "aab", "ba", "abab", "<a>b", "aaaa"]
INPUTS_VALUE = ["[]", "[a]", "[a b a]", "[a [b a] 1]", '["ab" a]', "[[a] [b [a]]]", "#{}", "#{6162}", "#{616161}",
                '"ab"', "(a b)", "a/b"]


def rule(rng, depth):
    items = []
    for _ in range(rng.randint(0, 6)):
        r = rng.random()
        if r < 0.45:
            items.append(rng.choice(KEYWORDS))
        elif r < 0.85 or depth == 0:
            items.append(rng.choice(VALUES))
        else:
            items.append(rule(rng, depth - 1))
    return "[" + " ".join(items) + "]"


def hexed(s):
    return s.encode("utf-8").hex() or "-"


def main():
    global PARSE_RULE
    PARSE_RULE = catalog_index("script", "parse-rule")
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print(f"seed {seed}")
    rng = random.Random(seed)
    lines = []
    for _ in range(ROUNDS):
        rules = rule(rng, 3)
        # Words the rules name: a position in no input, a rule block, a collect target.
        rules = "p: [a] x: [skip] " + rules
        mode = rng.choice((0, 2))
        if rng.random() < 0.5:
            lines.append(f"match {mode} {hexed(rules)} {hexed(rng.choice(INPUTS_TEXT))}")
        else:
            lines.append(f"value {mode} {hexed(rules)} {hexed(rng.choice(INPUTS_VALUE))}")
    if subprocess.run([PROBE], input="match 0 - -\n", capture_output=True, text=True).stdout.strip() == "nolexer":
        print("probe_parse was built without the lexer: skipped")
        return 0
    done = subprocess.run([PROBE], input="\n".join(lines) + "\n", capture_output=True, text=True, timeout=240)
    answers = done.stdout.split("\n")[:-1]
    if done.returncode != 0 or len(answers) != len(lines):
        print(f"probe ended with status {done.returncode} after {len(answers)} of {len(lines)} lines")
        if len(answers) < len(lines):
            bad = lines[len(answers)].split()
            print("at:", bytes.fromhex(bad[2]).decode(), "on", bytes.fromhex(bad[3]).decode() if bad[3] != "-" else "")
        print(done.stderr[-2000:])
        return 1
    # A frame the engine itself pushed and then found malformed raises parse-rule with the frame's
    # top cell (block!, triple!, pair!): that never happens unless a trace callback rewrote the stack.
    def odd_answer(a):
        if a in ("true", "false", "block"):
            return False
        parts = a.split()
        return not (parts[0] == "err" and len(parts) == 4 and not (parts[1:3] == ["3", str(PARSE_RULE)] and parts[3] in ("5", "31", "37")))
    odd = [(l, a) for l, a in zip(lines, answers) if odd_answer(a)]
    for l, a in odd[:10]:
        print(f"unexpected answer {a!r} for {l}")
    kinds = {}
    for a in answers:
        k = a if not a.startswith("err ") else "error"
        kinds[k] = kinds.get(k, 0) + 1
    print(", ".join(f"{n} {k}" for k, n in sorted(kinds.items())))
    return 1 if odd else 0


if __name__ == "__main__":
    sys.exit(main())
