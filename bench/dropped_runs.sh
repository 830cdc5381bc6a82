#!/usr/bin/env bash
# Dropping old runs: pellatrix-cli replacing the same FILES files (default 10,000, on the disk,
# in the build folder) RUNS times in a row (default 20), journal on the same disk. The first 10
# runs drop no run; every later one drops the oldest, whose kept files (one hard link per
# replaced file) must go. Prints the median wall time of runs 1-10 and of runs 11-RUNS, and
# their ratio: dropping old runs should not lengthen a run.
# A disk's write-back makes the later runs of any such sequence slower, dropped runs or not, so
# the same sequence also runs as a control in which nothing is dropped: before each run past the
# 10th, the oldest run's folder is moved out of the runs folder by the script (one rename, its
# files left where they are). The control and the dropping sequence alternate ROUNDS times
# (default 1: control, then dropping; 2: and again in the other order), and the last line gives
# the later runs' medians of both and their ratio.
# DROPPED_RUNS_ROOT puts the files and the journals elsewhere (e.g. /dev/shm: the removal's own
# cost without a disk's write-back).
#
# Usage: bench/dropped_runs.sh [BUILD_DIR] [FILES] [RUNS] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
files=${2:-10000}
runs=${3:-20}
rounds=${4:-1}
cli=$PWD/$build/bin/pellatrix-cli
[ -x "$cli" ] || { echo "dropped_runs.sh: $cli is missing; build $build first" >&2; exit 2; }
root=$(mktemp -d "${DROPPED_RUNS_ROOT:-$PWD/$build}/dropped-runs-bench.XXXXXX")
trap 'rm -rf "$root"' EXIT

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", b / a}'; }

sequence() {  # drop|control: prints the median of runs 1-10, then of the later runs
  local variant=$1 work first=() later=() r ms oldest
  work=$root/$variant.$RANDOM
  mkdir -p "$work/out" "$work/aside"
  for ((i = 1; i <= files; i++)); do echo "$work/out/f$i"; done >"$work/list.txt"
  for ((i = 1; i <= files; i++)); do printf old >"$work/out/f$i"; done
  for ((r = 1; r <= runs; r++)); do
    if [ "$variant" = control ] && ((r > 10)); then
      oldest=$(find "$work/state/pellatrix/runs" -mindepth 1 -maxdepth 1 ! -name '.*' -printf '%f\n' | sort | head -1)
      mv "$work/state/pellatrix/runs/$oldest" "$work/aside/"
    fi
    sync
    t0=$(date +%s%N)
    XDG_STATE_HOME=$work/state "$cli" -q -t "run $r" "$work/list.txt"
    ms=$((($(date +%s%N) - t0) / 1000000))
    if ((r <= 10)); then first+=("$ms"); else later+=("$ms"); fi
  done
  echo "$(printf '%s\n' "${first[@]}" | median) $(printf '%s\n' "${later[@]}" | median)"
  rm -rf "$work"
}

dropLater=()
controlLater=()
for ((k = 0; k < rounds; k++)); do
  if ((k % 2 == 0)); then order=(control drop); else order=(drop control); fi
  for variant in "${order[@]}"; do
    read -r a b < <(sequence "$variant")
    echo "$variant: runs 1-10: median $a ms; runs 11-$runs: median $b ms; ratio $(ratio "$a" "$b")"
    if [ "$variant" = drop ]; then dropLater+=("$b"); else controlLater+=("$b"); fi
  done
done
d=$(printf '%s\n' "${dropLater[@]}" | median)
c=$(printf '%s\n' "${controlLater[@]}" | median)
echo "runs 11-$runs: dropping $d ms, control $c ms; dropping/control $(ratio "$c" "$d")"
