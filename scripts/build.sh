#!/usr/bin/env bash
# build.sh DIR [cmake options...] [-- TARGET...]: configures and builds Pellatrix into DIR (only
# the targets named after "--", when any). The options are applied again to an existing DIR, so
# a folder made before an option existed gets it too.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
options=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
[ $# -gt 0 ] && shift
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" "${gen[@]}" "${options[@]}" >/dev/null
elif [ ${#options[@]} -gt 0 ]; then
  cmake -S . -B "$dir" "${options[@]}" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
