#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds Pellatrix into DIR. The options are
# applied again to an existing DIR, so a folder made before an option existed gets it too.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${gen[@]}" "$@" >/dev/null
elif [ $# -gt 0 ]; then
  cmake -S . -B "$dir" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
