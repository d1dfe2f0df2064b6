#!/usr/bin/env bash
# Builds Kel (release) and starts the console; arguments are passed on to kel.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/tools/deps.sh" g++ cmake ninja-build python3 libssl-dev libcurl4-openssl-dev libpng-dev libturbojpeg0-dev libgif-dev libtiff-dev libgtest-dev unicode-data >&2
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build/release" --target kel >&2
exec "$here/build/release/kel" "$@"
