#!/usr/bin/env bash
# Undo benchmark: pellatrix-cli --undo of a run that made FILES files (default 100,000 in 100
# folders, one after another in turn) on tmpfs, its journal on the same tmpfs, against
# undo_floor (lstat and unlink per file, then rmdir per folder) removing the same files.
# Medians of REPEATS, interleaved; processor time (user + system) beside wall time, and the
# peak resident set of the undo against that of the run it takes back (goal: at most 2x).
#
# Usage: bench/undo.sh [BUILD_DIR] [REPEATS] [FILES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-5}
files=${3:-100000}
folders=100
cli=$PWD/$build/bin/pellatrix-cli
floor=$PWD/$build/bin/undo_floor
peak=$PWD/$build/bin/peak_rss
for b in "$cli" "$floor" "$peak"; do
  [ -x "$b" ] || { echo "undo.sh: $b is missing; build $build first" >&2; exit 2; }
done
root=/dev/shm/pellatrix-undo-$$
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"
awk -v r="$root" -v n="$files" -v f=$folders \
  'BEGIN {for (i = 0; i < n; i++) printf "%s/out/d%03d/f%07d.txt\n", r, i % f, i}' >"$root/list.txt"

now_ns() { date +%s%N; }
median() {  # of column $1 of the input
  awk -v c="$1" '{print $c}' | sort -n |
    awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
measured() {  # prints "wall_ms cpu_ms peak_kib" of the command
  local t0 t1 out
  t0=$(now_ns)
  out=$("$peak" "$@" 2>&1 >/dev/null | awk '/^cpu_ms/ {c = $2} /^peak_rss_kib/ {k = $2}
    END {print c, k}')
  t1=$(now_ns)
  echo "$(((t1 - t0) / 1000000)) $out"
}
: >"$root/t.floor"; : >"$root/t.undo"; : >"$root/t.run"
for ((r = 0; r < reps; r++)); do
  rm -rf "$root/out" "$root/state"
  XDG_STATE_HOME=/proc/no-state "$cli" --text text "$root/list.txt" >/dev/null 2>&1
  measured "$floor" "$root/list.txt" >>"$root/t.floor"
  measured env XDG_STATE_HOME="$root/state" "$cli" --text text "$root/list.txt" >>"$root/t.run"
  measured env XDG_STATE_HOME="$root/state" "$cli" --undo >>"$root/t.undo"
  [ ! -e "$root/out/d000" ] || { echo "undo.sh: the undo left files" >&2; exit 1; }
done
f=$(median 1 <"$root/t.floor"); u=$(median 1 <"$root/t.undo")
fc=$(median 2 <"$root/t.floor"); uc=$(median 2 <"$root/t.undo")
rk=$(median 3 <"$root/t.run"); uk=$(median 3 <"$root/t.undo")
printf '%-8s %9s %9s %10s %11s %9s %9s %9s\n' files floor_ms undo_ms undo/floor cpu_u/floor \
  run_kib undo_kib undo/run
printf '%-8s %9s %9s %10s %11s %9s %9s %9s\n' "$files" "$f" "$u" "$(ratio "$u" "$f")" \
  "$(ratio "$uc" "$fc")" "$rk" "$uk" "$(ratio "$uk" "$rk")"
