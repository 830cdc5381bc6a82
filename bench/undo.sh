#!/usr/bin/env bash
# Undo benchmark: pellatrix-cli --undo of a run that made FILES files (default 100,000 in 100
# folders, one after another in turn) on tmpfs, its journal on the same tmpfs, against
# undo_floor (lstat and unlink per file, then rmdir per folder) removing the same files.
# Medians of REPEATS, interleaved.
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
for b in "$cli" "$floor"; do
  [ -x "$b" ] || { echo "undo.sh: $b is missing; build $build first" >&2; exit 2; }
done
root=/dev/shm/pellatrix-undo-$$
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"
for ((i = 0; i < files; i++)); do
  printf '%s/out/d%03d/f%07d.txt\n' "$root" $((i % folders)) $i
done >"$root/list.txt"

now_ns() { date +%s%N; }
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
: >"$root/t.floor"; : >"$root/t.undo"
for ((r = 0; r < reps; r++)); do
  rm -rf "$root/out" "$root/state"
  XDG_STATE_HOME=/proc/no-state "$cli" --text text "$root/list.txt" >/dev/null 2>&1
  t0=$(now_ns); "$floor" "$root/list.txt"; t1=$(now_ns)
  echo $(((t1 - t0) / 1000000)) >>"$root/t.floor"
  XDG_STATE_HOME="$root/state" "$cli" --text text "$root/list.txt" >/dev/null
  t0=$(now_ns); XDG_STATE_HOME="$root/state" "$cli" --undo >/dev/null; t1=$(now_ns)
  echo $(((t1 - t0) / 1000000)) >>"$root/t.undo"
  [ ! -e "$root/out/d000" ] || { echo "undo.sh: the undo left files" >&2; exit 1; }
done
f=$(median <"$root/t.floor"); u=$(median <"$root/t.undo")
printf '%-8s %9s %9s %10s\n' files floor_ms undo_ms undo/floor
ratio=$(awk -v a="$u" -v b="$f" 'BEGIN {printf "%.2fx", a / b}')
printf '%-8s %9s %9s %10s\n' "$files" "$f" "$u" "$ratio"
