#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures (once) and builds Pellatrix into DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${gen[@]}" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
