#!/bin/bash
# Runs the library benchmarks (bench/lib/NAME.kel beside NAME.py and, where natural, NAME.lua):
# each program makes its data, then times its steps itself and prints "time STEP SECONDS" per
# step and its results. The runner checks that every language prints the same results, keeps
# the best time of each step and writes the table into the "Library" section of bench/RESULTS.md
# (other sections stay as they are).
#
#   bench/lib/run.sh [runs] [NAME...]   runs: timed runs per program and language (default 3)
#
# BUILD names the build folder (default: build). KEL_BEFORE names another kel binary (an older
# build) whose times fill a "Kel before" column. The table is written only when every program ran.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${BUILD:-$root/build}" && pwd)"
runs="${1:-3}"
shift || true

kel="$build/kel"
[ -x "$kel" ] || { echo "no $kel: build first" >&2; exit 1; }
"$root/tools/deps.sh" python3 lua5.4
# Called by their packaged paths: a python3 first on PATH may be a version manager's shim.
python=/usr/bin/python3
lua=/usr/bin/lua5.4
[ -x "$python" ] || python="$(command -v python3)"
[ -x "$lua" ] || lua="$(command -v lua5.4)"

before="${KEL_BEFORE:+$(realpath "$KEL_BEFORE")}"
"$python" - "$here" "$runs" "$kel" "$before" "$python" "$lua" "$@" <<'PY'
import os, re, subprocess, sys

here, runs, kel, before, python, lua = sys.argv[1:7]
runs = int(runs)
only = sys.argv[7:]
programs = ["sort", "append", "find", "map", "load_mold", "parse", "json_text", "csv_text",
            "checksum", "lines", "text", "reverse_unique"]
if only:
    programs = [p for p in programs if p in only]
languages = [("Kel before", lambda p: [before, p + ".kel"], ".kel")] if before else []
languages += [("Kel", lambda p: [kel, p + ".kel"], ".kel"),
              ("Python 3", lambda p: [python, p + ".py"], ".py"),
              ("Lua 5.4", lambda p: [lua, p + ".lua"], ".lua")]


def run(cmd):
    r = subprocess.run(cmd, capture_output=True, text=True, cwd=here)
    if r.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({r.returncode}): {r.stderr.strip()}{r.stdout.strip()}")
    times, results = {}, []
    for line in r.stdout.splitlines():
        if line.startswith("time "):
            step, seconds = line[5:].rsplit(" ", 1)
            times[step] = float(seconds)
        else:
            results.append(line.rstrip())
    return times, results


rows = []
for name in programs:
    path = os.path.join(here, name)
    best, outputs = {}, {}
    for lang, cmd, ext in languages:
        if not os.path.exists(path + ext):
            continue
        for _ in range(runs):
            times, results = run(cmd(path))
            outputs[lang] = results
            for step, seconds in times.items():
                key = (step, lang)
                best[key] = min(best.get(key, seconds), seconds)
    if len({tuple(v) for v in outputs.values()}) != 1:
        sys.exit(f"{name}: the languages print different results: {outputs}")
    steps = list(dict.fromkeys(step for step, _ in best))
    for step in steps:
        cells = {lang: best.get((step, lang)) for lang, _, _ in languages}
        shown = " ".join(f"{lang} {cells[lang] * 1000:8.1f} ms" for lang, _, _ in languages if cells[lang] is not None)
        print(f"{step:32} {shown}", flush=True)
        rows.append((step, cells))


def ms(v):
    return "" if v is None else f"{v * 1000:.0f} ms" if v >= 0.0095 else f"{v * 1000:.1f} ms"


names = [lang for lang, _, _ in languages]
header = "| step | " + " | ".join(names) + " | Kel / Python |"
lines = [header, "|" + "---|" * (len(names) + 2)]
for step, cells in rows:
    ratio = cells["Kel"] / cells["Python 3"] if cells.get("Python 3") else None
    lines.append(f"| {step} | " + " | ".join(ms(cells[n]) for n in names)
                 + f" | {'' if ratio is None else f'{ratio:.2f}'} |")

if only:
    sys.exit(0)
section = "\n".join([
    "## Library",
    "",
    "`bench/lib/run.sh` runs `bench/lib/NAME.kel` with `kel` and the same "
    f"work written for Python 3 (and Lua 5.4 where it is natural), best of {runs} runs of each step, "
    "each program timing its own steps (making the data is not timed), release build. Every "
    "language makes the same data from one generator and must print the same results. Lua's "
    "`os.clock` measures CPU time, the others wall time. Figures from a shared machine: runs "
    "differ by up to a third."
    + (" `Kel before` is the build named by KEL_BEFORE, run in the same rounds." if before else ""),
    "",
    *lines,
    "",
])
results_md = os.path.join(os.path.dirname(here), "RESULTS.md")
text = open(results_md).read()
pattern = re.compile(r"^## Library\n.*?(?=^## |\Z)", re.S | re.M)
if pattern.search(text):
    text = pattern.sub(lambda m: section + "\n", text)
else:
    text = text.rstrip("\n") + "\n\n" + section
open(results_md, "w").write(text.rstrip("\n") + "\n")
print(f"written to {results_md}")
PY
