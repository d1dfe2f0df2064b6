#!/bin/bash
# Peak resident memory and time of bench/gc/churn.kel at N and 10 x N iterations (default N =
# 20000): a collector that keeps up holds the peak flat.
set -euo pipefail
"$(cd "$(dirname "$0")" && pwd)/../../tools/deps.sh" time
here="$(cd "$(dirname "$0")" && pwd)"
build="${BUILD:-$here/../../build}"
n="${1:-20000}"
for count in "$n" "$((n * 10))"; do
    /usr/bin/time -f "$count iterations: %M KiB peak resident, %e s" "$build/kel" "$here/churn.kel" "$count" > /dev/null
done
