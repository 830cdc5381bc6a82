#!/usr/bin/env bash
# Dropping old runs: pellatrix-cli replacing the same FILES files (default 10,000, on the disk,
# in the build folder) RUNS times in a row (default 20), journal on the same disk. The first 10
# runs drop no run; every later one drops the oldest, whose kept files (one hard link per
# replaced file) must go. Prints the median wall time of runs 1-10 and of runs 11-RUNS, and
# their ratio: dropping old runs should not lengthen a run.
#
# Usage: bench/dropped_runs.sh [BUILD_DIR] [FILES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
files=${2:-10000}
runs=${3:-20}
cli=$PWD/$build/bin/pellatrix-cli
[ -x "$cli" ] || { echo "dropped_runs.sh: $cli is missing; build $build first" >&2; exit 2; }
work=$(mktemp -d "$PWD/$build/dropped-runs-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out"
for ((i = 1; i <= files; i++)); do echo "$work/out/f$i"; done > "$work/list.txt"
for ((i = 1; i <= files; i++)); do printf old > "$work/out/f$i"; done
export XDG_STATE_HOME=$work/state

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
first=()
later=()
for ((r = 1; r <= runs; r++)); do
  sync
  t0=$(date +%s%N)
  "$cli" -q -t "run $r" "$work/list.txt"
  ms=$((($(date +%s%N) - t0) / 1000000))
  if ((r <= 10)); then first+=("$ms"); else later+=("$ms"); fi
done
a=$(printf '%s\n' "${first[@]}" | median)
b=$(printf '%s\n' "${later[@]}" | median)
echo "runs 1-10: median $a ms; runs 11-$runs: median $b ms; ratio $(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2fx", b / a}')"
