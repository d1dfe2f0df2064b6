#!/usr/bin/env python3
"""load-json, to-json, load-csv and to-csv against Python's json and csv modules.

JSON: random documents (nesting, member names, escapes, control characters, characters beyond
U+FFFF, integers and floats), written by Python in several styles, must load in Kel and come back
through to-json, to-json/ascii and to-json/pretty as the same data. Mutated texts must be refused
by Kel exactly when Python's strict parser refuses them (a lone high surrogate escape, which
Python lets through, must raise invalid-data), and never crash the process.

CSV: random tables written by Python's csv writer (quoting, doubled quotes, line breaks and
delimiters inside values, CR LF line ends, other delimiters and quote characters) must load in
Kel as the same rows, and what to-csv writes of them must read back in Python as the same rows.

One Kel process runs every case, reading and writing files in a temporary folder.
"""
import csv
import io
import json
import math
import os
import random
import subprocess
import sys
import tempfile

INVALID = object()
NAME_CHARS = "abcxyz019-+._' é中😀#:$"
TEXT_CHARS = ("abc XYZ 019 \"\\/'\t\n\r\b\f\x00\x01\x1f\x7f é中\u2028\uffff😀𝄞"
              "{}[],:")


def random_text(rng, chars, limit):
    return "".join(rng.choice(chars) for _ in range(rng.randint(0, limit)))


def random_value(rng, depth=0):
    kinds = ["int", "bigint", "float", "text", "true", "false", "null"]
    if depth < 5:
        kinds += ["list", "object"] * 2
    kind = rng.choice(kinds)
    if kind == "int":
        return rng.randint(-2**31, 2**31 - 1)
    if kind == "bigint":
        return rng.randint(2**31, 2**53) * rng.choice([1, -1])
    if kind == "float":
        return rng.choice([0.0, -0.0, 0.1 + 0.2, 1e300, 5e-324, 1e-7, 1.5,
                           rng.uniform(-1e6, 1e6), rng.random() * 10 ** rng.randint(-20, 20)])
    if kind == "text":
        return random_text(rng, TEXT_CHARS, 12)
    if kind == "list":
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if kind == "object":
        obj = {random_text(rng, NAME_CHARS, 5): random_value(rng, depth + 1)
               for _ in range(rng.randint(0, 4))}
        # Names that differ only in letter case are different members.
        for name in list(obj):
            if name.swapcase() != name and rng.random() < 0.3:
                obj[name.swapcase()] = random_value(rng, depth + 1)
        return obj
    return {"true": True, "false": False, "null": None}[kind]


def dump(rng, value):
    style = rng.randrange(3)
    if style == 0:
        return json.dumps(value, ensure_ascii=rng.random() < 0.5, separators=(",", ":"))
    if style == 1:
        return json.dumps(value, ensure_ascii=rng.random() < 0.5, indent=rng.choice([1, 2, "\t"]))
    return " \r\n" + json.dumps(value, ensure_ascii=False) + "\n\t "


def mutate(rng, text):
    pos = rng.randrange(len(text) + 1)
    op = rng.randrange(3)
    if op == 0 and text:
        return text[:pos] + text[pos + 1:]
    piece = rng.choice(['"', "\\", ",", ":", "[", "]", "{", "}", "0", "-", ".", "e", "x", " ",
                        "\\u", "\\ud800", "\x01", "true", "01"])
    if op == 1:
        return text[:pos] + piece + text[pos:]
    return text[:pos] + piece + text[pos + 1:]


def strict_loads(text):
    def refuse(name):
        raise ValueError(name)
    return json.loads(text, parse_constant=refuse)


def has_lone_surrogate(value, last=0xDFFF):
    """Whether a string of the value holds a surrogate (a high one only, with last 0xDBFF)."""
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= last for c in value)
    if isinstance(value, list):
        return any(has_lone_surrogate(v, last) for v in value)
    if isinstance(value, dict):
        return any(has_lone_surrogate(k, last) or has_lone_surrogate(v, last) for k, v in value.items())
    return False


def same(a, b):
    """Equality of JSON data (a as Python read it, b as it came back from Kel) in which an integer
    beyond 32 bits comes back as the nearest float, and a number too large for a float (read as
    an infinity) as null."""
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    if isinstance(a, float) and math.isinf(a):
        return b is None
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return float(a) == b and (str(a) != "-0.0" or str(b) == "-0.0")
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def random_table(rng):
    cols = rng.randint(2, 5)
    cells = ["", "a", "b c", "x,y", "x;y", 'q"uote', '"', "line\nbreak", "cr\rhere", "crlf\r\nin",
             "é中😀", " pad ", "'single'", "1.5", "tab\there"]
    return [[rng.choice(cells) for _ in range(cols)] for _ in range(rng.randint(1, 6))]


def main():
    kel = sys.argv[1]
    rng = random.Random(int(os.environ.get("KEL_SEED", "7")))
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        def path(name):
            return os.path.join(tmp, name)

        # JSON cases: (text, expected value or INVALID, lone high surrogate?). Python reads a
        # lone surrogate escape as that code point; Kel keeps a lone low one but refuses a high
        # one without its low half, and writes a lone low one out as its three UTF-8-like bytes.
        json_cases = []
        for _ in range(250):
            value = random_value(rng)
            json_cases.append((dump(rng, value), value, False))
        for _ in range(250):
            text = mutate(rng, dump(rng, random_value(rng)))
            try:
                value = strict_loads(text)
            except ValueError:
                json_cases.append((text, INVALID, False))
                continue
            json_cases.append((text, value, has_lone_surrogate(value, 0xDBFF)))
        for i, (text, _, _) in enumerate(json_cases):
            with open(path(f"j{i}.json"), "w", encoding="utf-8", newline="") as f:
                f.write(text)

        # CSV cases: (table, delimiter, quote character)
        csv_cases = []
        for _ in range(80):
            delimiter, quote = rng.choice([(",", '"'), (";", '"'), (",", "'"), ("\t", '"')])
            table = random_table(rng)
            out = io.StringIO()
            # Python quotes a carriage return only when it is part of the line terminator.
            csv.writer(out, delimiter=delimiter, quotechar=quote, lineterminator="\r\n").writerows(table)
            csv_cases.append((table, delimiter, quote))
            with open(path(f"c{len(csv_cases) - 1}.csv"), "w", encoding="utf-8", newline="") as f:
                f.write(out.getvalue())

        def kel_char(c):
            return {"\t": '#"^-"', '"': '#"^""'}.get(c, f'#"{c}"')

        script = ["Kel []", f"change-dir to-kel-file {json.dumps(tmp + '/')}",
                  "text-of: func [file][to string! read/binary file]"]
        script.append(f"""repeat i {len(json_cases)} [
    n: i - 1
    set/any 'r try [load-json text-of rejoin [%j n %.json]]
    either error? :r [
        write rejoin [%o n %.txt] rejoin ["ERROR " r/type " " r/id]
    ][
        write rejoin [%o n %.txt] to-json :r
        write rejoin [%a n %.txt] to-json/ascii :r
        write rejoin [%p n %.txt] to-json/pretty :r "  "
    ]
]""")
        for i, (_, delimiter, quote) in enumerate(csv_cases):
            script.append(f"rows: load-csv/with/quote text-of %c{i}.csv {kel_char(delimiter)} {kel_char(quote)}")
            script.append(f"write %r{i}.txt to-json rows")
            script.append(f"write %w{i}.csv to-csv/with/quote rows {kel_char(delimiter)} {kel_char(quote)}")
        script.append('print "done"')
        with open(path("run.kel"), "w", encoding="utf-8") as f:
            f.write("\n".join(script) + "\n")
        proc = subprocess.run([kel, path("run.kel")], capture_output=True, timeout=280)
        if proc.returncode != 0 or proc.stdout != b"done\n":
            print("kel failed:", proc.returncode, proc.stdout[-2000:], proc.stderr[-2000:])
            return 1

        def read(name):
            with open(path(name), encoding="utf-8", errors="surrogatepass", newline="") as f:
                return f.read()

        for i, (text, value, lone) in enumerate(json_cases):
            out = read(f"o{i}.txt")
            if value is INVALID or lone:
                expected = "ERROR script invalid-data" if lone else "ERROR user message"
                if out != expected:
                    failures.append(f"json {i}: {text!r}: expected {expected}, got {out[:200]!r}")
                continue
            if out.startswith("ERROR"):
                failures.append(f"json {i}: {text!r} refused: {out}")
                continue
            for name, kind in ((f"o{i}.txt", "compact"), (f"a{i}.txt", "ascii"), (f"p{i}.txt", "pretty")):
                written = read(name)
                try:
                    back = strict_loads(written)
                except ValueError as e:
                    failures.append(f"json {i} {kind}: Python cannot read {written[:200]!r}: {e}")
                    continue
                if not same(value, back):
                    failures.append(f"json {i} {kind}: {text[:200]!r} came back as {written[:200]!r}")
                if kind == "ascii" and not written.isascii():
                    failures.append(f"json {i}: /ascii wrote non-ASCII text {written[:200]!r}")

        for i, (table, delimiter, quote) in enumerate(csv_cases):
            loaded = json.loads(read(f"r{i}.txt"))
            if loaded != table:
                failures.append(f"csv {i}: {read(f'c{i}.csv')!r} loaded as {loaded!r}")
            back = list(csv.reader(io.StringIO(read(f"w{i}.csv"), newline=""), delimiter=delimiter,
                                   quotechar=quote))
            if back != table:
                failures.append(f"csv {i}: to-csv wrote {read(f'w{i}.csv')!r}, read back as {back!r}")

    for f in failures[:30]:
        print("FAIL:", f)
    print(f"{len(json_cases)} JSON texts, {len(csv_cases)} CSV tables, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
