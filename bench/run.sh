#!/bin/bash
# Runs the interpreter benchmarks (bench/interp/NAME.kel beside NAME.py and NAME.lua) with Kel,
# Python 3 and Lua 5.4, checks that the three print the same, and writes the best times and the
# ratios into the "Interpreter" section of bench/RESULTS.md (other sections stay as they are).
#
#   bench/run.sh [runs]        runs: timed runs per program and language, best kept (default 5)
#
# BUILD names the build folder (default: build). Scripts run through `kel` once it runs them;
# until then through bench/kel_run, which evaluates a script with the natives and actions but
# without the environment.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${BUILD:-$root/build}"
runs="${1:-5}"

probe="$(mktemp --suffix=.kel)"
trap 'rm -f "$probe"' EXIT
printf 'Kel [Title: "probe"]\nprint 1 + 2\n' > "$probe"
if [ -x "$build/kel" ] && [ "$("$build/kel" "$probe" 2>/dev/null || true)" = "3" ]; then
    kel=("$build/kel")
    runner="kel"
elif [ -x "$build/bench/kel_run" ]; then
    kel=("$build/bench/kel_run")
    runner="bench/kel_run (the natives without the environment)"
else
    echo "neither $build/kel nor $build/bench/kel_run can run a script: build first" >&2
    exit 1
fi
# The interpreters compared against, from Debian's packages. Called by their packaged paths: a
# python3 found first on PATH may be a version manager's shim, whose own start-up (a shell script)
# would be timed as Python's.
"$root/tools/deps.sh" python3 lua5.4
python=/usr/bin/python3
lua=/usr/bin/lua5.4
[ -x "$python" ] || python="$(command -v python3)"
[ -x "$lua" ] || lua="$(command -v lua5.4)"

"$python" - "$here" "$runs" "$runner" "$python" "$lua" "${kel[@]}" <<'PY'
import os, re, subprocess, sys, time

here, runs, runner, python, lua, kel = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:]
programs = [("fib", "recursive Fibonacci of 30"), ("count", "counting loop of 10,000,000 steps with a remainder")]
languages = [("Kel", lambda p: kel + [p + ".kel"]), ("Python 3", lambda p: [python, p + ".py"]),
             ("Lua 5.4", lambda p: [lua, p + ".lua"])]

def best(cmd):
    times, out = [], None
    for _ in range(runs):
        start = time.perf_counter()
        r = subprocess.run(cmd, capture_output=True, text=True)
        times.append(time.perf_counter() - start)
        if r.returncode != 0:
            sys.exit(f"{' '.join(cmd)} failed ({r.returncode}): {r.stderr.strip()}")
        out = r.stdout.strip()
    return min(times), out

rows = []
for name, what in programs:
    path = os.path.join(here, "interp", name)
    results = {}
    for lang, cmd in languages:
        results[lang] = best(cmd(path))
        print(f"{name:6} {lang:9} {results[lang][0] * 1000:8.1f} ms   {results[lang][1]}", flush=True)
    outputs = {r[1] for r in results.values()}
    if len(outputs) != 1:
        sys.exit(f"{name}: the three print different results: {outputs}")
    k, p, l = (results[lang][0] for lang, _ in languages)
    rows.append(f"| {name} ({what}) | {k * 1000:.0f} ms | {p * 1000:.0f} ms | {l * 1000:.0f} ms "
                f"| {k / p:.2f} | {k / l:.2f} |")

section = "\n".join([
    "## Interpreter",
    "",
    f"`bench/run.sh` runs `bench/interp/NAME.kel` through {runner} and the same programs written "
    f"for Python 3 and Lua 5.4, best wall time of {runs} runs each, start-up included, release "
    "build. A ratio below 1 means Kel is the faster. Figures from a shared machine: runs differ "
    "by up to a third from one another.",
    "",
    "| program | Kel | Python 3 | Lua 5.4 | Kel / Python | Kel / Lua |",
    "|---|---|---|---|---|---|",
    *rows,
    "",
])

results_md = os.path.join(here, "RESULTS.md")
text = open(results_md).read() if os.path.exists(results_md) else "# Benchmark results\n"
pattern = re.compile(r"^## Interpreter\n.*?(?=^## |\Z)", re.S | re.M)
if pattern.search(text):
    text = pattern.sub(lambda m: section + "\n", text)
else:
    text = text.rstrip("\n") + "\n\n" + section
open(results_md, "w").write(text.rstrip("\n") + "\n")
print(f"written to {results_md}")
PY
