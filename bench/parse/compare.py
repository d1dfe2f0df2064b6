#!/usr/bin/env python3
"""The parse dialect against Python's re module and Lua patterns on a generated access log.

    compare.py BUILD_DIR [--lines N] [--repeat R] [--write]

Makes a log of N lines (60,000 by default, about 5.6 MB) of the common web-server format, runs
bench/parse/parse_bench.cpp (BUILD_DIR/bench/kel_parse_bench) on it, then the same four
workloads in Python and in Lua 5.4, best of R runs each, and prints a table of seconds and MB/s.
Every runner must agree on the workloads' results. With --write the table replaces the "Parse
dialect" section of bench/RESULTS.md.

Workloads:
  check    the whole log matches the line grammar (parse: some line; re: a possessive repetition
           of the line pattern with fullmatch; Lua: each line against an anchored pattern)
  extract  the request path of every line (parse: collect/keep; re: findall; Lua: gmatch)
  errors   the last two digits of every 5xx status
  scan     every line has a bracketed field (parse: thru/to; re: fullmatch; Lua: gmatch)
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "..", "RESULTS.md")

PATH_CHARS = "A-Za-z0-9/._\\-?=&%"
LINE = (r'[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+ - [A-Za-z0-9\-_]+ \[[^\]]*\] "[A-Z]+ [' + PATH_CHARS +
        r']+ HTTP/1\.[0-9]" [0-9]{3} [0-9]+\n')

LUA = r"""
local path, repeat_count = arg[1], tonumber(arg[2])
local f = assert(io.open(path, "rb"))
local text = f:read("a")
f:close()
local line_pattern = '^%d+%.%d+%.%d+%.%d+ %- [%w_%-]+ %[[^%]]*%] "%u+ [%w/%._%-%?=&%%]+ HTTP/1%.%d" %d%d%d %d+$'
local workloads = {
  check = function()
    local n, total = 0, 0
    for line in text:gmatch("([^\n]*)\n") do
      total = total + 1
      if line:find(line_pattern) then n = n + 1 end
    end
    return tostring(n == total and #text > 0)
  end,
  extract = function()
    local n = 0
    for p in text:gmatch('"%u+ ([%w/%._%-%?=&%%]+) HTTP') do n = n + 1 end
    return tostring(n)
  end,
  errors = function()
    local n = 0
    for s in text:gmatch('" 5(%d%d) ') do n = n + 1 end
    return tostring(n)
  end,
  scan = function()
    local n, total = 0, 0
    for _ in text:gmatch("\n") do total = total + 1 end
    for _ in text:gmatch("%[[^%]]*%][^\n]*\n") do n = n + 1 end
    return tostring(n == total)
  end,
}
for _, name in ipairs({"check", "extract", "errors", "scan"}) do
  local best, result = math.huge, nil
  for _ = 1, repeat_count do
    local start = os.clock()
    result = workloads[name]()
    local t = os.clock() - start
    if t < best then best = t end
  end
  print(string.format("%s %.6f %s", name, best, result))
end
"""


def make_log(lines, seed=1):
    rng = random.Random(seed)
    users = ["-", "frank", "alice", "bob_99", "svc-backup", "carol"]
    methods = ["GET", "GET", "GET", "POST", "HEAD", "PUT"]
    words = ["index", "images", "api", "v2", "users", "static", "css", "app", "search", "docs"]
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
    statuses = [200] * 12 + [301, 302, 304, 404, 403, 500, 502, 503]
    out = []
    for _ in range(lines):
        ip = ".".join(str(rng.randint(1, 254)) for _ in range(4))
        path = "/" + "/".join(rng.choice(words) for _ in range(rng.randint(1, 4)))
        if rng.random() < 0.3:
            path += f"?id={rng.randint(1, 99999)}&q={rng.choice(words)}%20x"
        else:
            path += rng.choice([".html", ".png", ".js", "/", ""])
        stamp = f"{rng.randint(1, 28):02d}/{rng.choice(months)}/2024:{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d} +0000"
        out.append(f'{ip} - {rng.choice(users)} [{stamp}] "{rng.choice(methods)} {path} HTTP/1.{rng.randint(0, 1)}" '
                   f"{rng.choice(statuses)} {rng.randint(0, 500000)}\n")
    return "".join(out)


def python_workloads(text):
    line_rx = re.compile(f"(?:{LINE})++")
    extract_rx = re.compile(r'[^"]*"[^ ]* ([' + PATH_CHARS + r']+)[^\n]*\n')
    errors_rx = re.compile(r'^[^"\n]*"[^"\n]*" 5([0-9]{2})', re.M)
    scan_rx = re.compile(r"(?:[^\[]*\[[^\]]*\][^\n]*\n)++")
    return {
        "check": lambda: str(line_rx.fullmatch(text) is not None).lower(),
        "extract": lambda: str(len(extract_rx.findall(text))),
        "errors": lambda: str(len(errors_rx.findall(text))),
        "scan": lambda: str(scan_rx.fullmatch(text) is not None).lower(),
    }


def best_of(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def run_lines(command):
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in out.splitlines():
        if line == "nolexer":
            raise SystemExit("kel_parse_bench was built without the lexer")
        name, seconds, result = line.split(" ", 2)
        rows[name] = (float(seconds), result)
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--lines", type=int, default=60000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--write", action="store_true")
    args = ap.parse_args()

    text = make_log(args.lines)
    megabytes = len(text) / 1e6
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "access.log")
        with open(data, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
        kel = run_lines([os.path.join(args.build_dir, "bench", "kel_parse_bench"), data, str(args.repeat)])
        py = {name: best_of(fn, args.repeat) for name, fn in python_workloads(text).items()}
        lua = None
        lua_binary = shutil.which("lua5.4") or shutil.which("lua")
        if lua_binary:
            script = os.path.join(tmp, "bench.lua")
            with open(script, "w") as f:
                f.write(LUA)
            lua = run_lines([lua_binary, script, data, str(args.repeat)])

    # The results are lengths of collected blocks for parse and counts for the others.
    names = ["check", "extract", "errors", "scan"]
    disagree = [n for n in names if kel[n][1] != py[n][1] or (lua and lua[n][1] != kel[n][1])]

    def cell(row):
        seconds = row[0]
        return f"{seconds * 1000:9.1f} ms {megabytes / seconds:8.1f} MB/s"

    header = f"| workload | parse | Python re | Lua 5.4 patterns | result |"
    rows = [header, "|---|---|---|---|---|"]
    for n in names:
        rows.append(f"| {n} | {cell(kel[n])} | {cell(py[n])} | {cell(lua[n]) if lua else 'n/a'} | {kel[n][1]} |")
    table = "\n".join(rows)
    print(f"{args.lines} lines, {megabytes:.2f} MB, best of {args.repeat}")
    print(table)
    if disagree:
        print(f"results differ for: {', '.join(disagree)}")
        for n in disagree:
            print(f"  {n}: parse {kel[n][1]}, re {py[n][1]}, lua {lua[n][1] if lua else '-'}")
        return 1
    if args.write:
        section = (
            "## Parse dialect\n\n"
            f"`bench/parse/compare.py` on a generated access log of {args.lines} lines ({megabytes:.2f} MB), "
            f"best of {args.repeat} runs, release build. The same grammar as parse rules "
            "(`bench/parse/parse_bench.cpp`), as Python 3 regular expressions (possessive, so that "
            "they do not backtrack where parse would not) and as Lua 5.4 patterns (which have no "
            "alternation: the line grammar is matched line by line). Lua's `os.clock` measures CPU "
            "time, the others wall time. Figures from a shared build machine: whole runs differ by "
            "up to a third from one another, the ratios between the three much less.\n\n" + table + "\n"
        )
        old = open(RESULTS).read() if os.path.exists(RESULTS) else "# Benchmark results\n"
        pattern = re.compile(r"## Parse dialect\n.*?(?=\n## |\Z)", re.S)
        new = pattern.sub(lambda _: section.rstrip("\n"), old) if pattern.search(old) else old.rstrip("\n") + "\n\n" + section
        with open(RESULTS, "w") as f:
            f.write(new if new.endswith("\n") else new + "\n")
        print(f"wrote {os.path.normpath(RESULTS)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
