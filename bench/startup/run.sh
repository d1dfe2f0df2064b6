#!/bin/bash
# Start-up time: the whole process running an empty script, best of N runs (default 20), beside
# Python 3 and Lua 5.4 doing nothing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
"$root/tools/deps.sh" python3 lua5.4
# Debian's interpreters by their packaged paths: a python3 first on PATH may be a version
# manager's shim, a shell script whose own start-up would be timed.
python=/usr/bin/python3
lua=/usr/bin/lua5.4
[ -x "$python" ] || python="$(command -v python3)"
[ -x "$lua" ] || lua="$(command -v lua5.4)"
build="${BUILD:-$root/build}"
runs="${1:-20}"
best() {
    "$python" - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    t = time.perf_counter()
    subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    times.append(time.perf_counter() - t)
print(f"{min(times) * 1000:.1f} ms")
PY
}
echo "kel (empty script): $(best "$build/kel" "$here/empty.kel")"
echo "python3 -c pass:    $(best "$python" -c pass)"
echo "lua5.4 -e '':       $(best "$lua" -e '')"
