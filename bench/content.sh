#!/usr/bin/env bash
# Content benchmark: pellatrix-cli filling files with a template, fields or a size, against the
# least work in C (content_floor) or against its own fixed-text run, in the same run:
#   template  a 1 MiB template into FILES new files on tmpfs, against a copy_file_range loop;
#   fields    --fields with a text of five fields, against the same run with a fixed text of the
#             same length (the text after filling);
#   size      --size=1M of a three-byte text, against a loop writing the same bytes;
#   clone     on btrfs (a loop-mounted image, where mkfs.btrfs and a loop device are there), a
#             10 MiB template into FILES files against a FICLONE loop, and the space they take
#             against FILES full copies.
# Each case runs REPEATS times, the two sides interleaved in turning order, each into a fresh
# folder made (not timed) before it; the table shows medians of wall time and their ratio.
#
# Usage: bench/content.sh [BUILD_DIR] [REPEATS] [FILES]   (build, 5, 10000)
#   CONTENT_BENCH_CASES ("template fields size clone") narrows the table.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-5}
files=${3:-10000}
cli=$PWD/$build/bin/pellatrix-cli
floor=$PWD/$build/bin/content_floor
for b in "$cli" "$floor"; do
  [ -x "$b" ] || { echo "content.sh: $b is missing; build $build first" >&2; exit 2; }
done
root=/dev/shm/pellatrix-content-$$
mnt=""
image=""
cleanup() {
  rm -rf "$root"
  if [ -n "$mnt" ]; then umount "$mnt" 2>/dev/null || true; rmdir "$mnt" 2>/dev/null || true; fi
  [ -z "$image" ] || rm -f "$image"
}
trap cleanup EXIT
mkdir -p "$root"
# The runs' journals stay on tmpfs too: the disk is not what is measured.
export XDG_STATE_HOME=$root/state

now_ns() { date +%s%N; }
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }

# list FOLDER FILE [TEXT]: FOLDER/f00001 ... one per line, "TEXT" after '>' when given.
list() {
  awk -v d="$1" -v n="$files" -v t="${3-}" 'BEGIN {
    for (i = 1; i <= n; i++) { p = sprintf("%s/f%05d", d, i); print (t == "" ? p : p ">" t) } }' >"$2"
}

# timed FOLDER COMMAND...: wall milliseconds of COMMAND, FOLDER made afresh before it.
timed() {
  local folder=$1; shift
  rm -rf "$folder"; mkdir -p "$folder"; sync -f "$folder" 2>/dev/null || true
  local t0 t1
  t0=$(now_ns)
  "$@" >/dev/null
  t1=$(now_ns)
  echo $(( (t1 - t0) / 1000000 ))
}

# compare NAME FOLDER "BASELINE..." "PELLATRIX...": REPEATS of each, interleaved; one table row.
compare() {
  local name=$1 folder=$2 base=$3 ours=$4 b=() o=()
  for r in $(seq 1 "$reps"); do
    if [ $((r % 2)) = 1 ]; then
      b+=("$(timed "$folder" bash -c "$base")"); o+=("$(timed "$folder" bash -c "$ours")")
    else
      o+=("$(timed "$folder" bash -c "$ours")"); b+=("$(timed "$folder" bash -c "$base")")
    fi
  done
  rm -rf "$folder"
  local bm om
  bm=$(printf '%s\n' "${b[@]}" | median)
  om=$(printf '%s\n' "${o[@]}" | median)
  printf '%-9s %7s %12s %12s %9s\n' "$name" "$files" "$bm" "$om" "$(ratio "$om" "$bm")"
}

printf '%-9s %7s %12s %12s %9s\n' case files baseline_ms pellatrix_ms ratio
for c in ${CONTENT_BENCH_CASES:-template fields size clone}; do
  case $c in
    template)
      head -c 1048576 /dev/urandom >"$root/t1m"
      list "$root/out" "$root/l.txt"
      compare template "$root/out" "'$floor' copy '$root/t1m' '$root/out' $files" \
        "'$cli' -q -f '$root/t1m' '$root/l.txt'"
      ;;
    fields)
      # Filled, "f00001 #00001 in out (f00001)" is as long as the fixed text of the other side.
      list "$root/out" "$root/l.txt"
      compare fields "$root/out" "'$cli' -q -t 'fxxxxx #xxxxx in out (fxxxxx)' '$root/l.txt'" \
        "'$cli' -q --fields -t '{name} #{n:5} in {folder} ({stem})' '$root/l.txt'"
      ;;
    size)
      list "$root/out" "$root/l.txt"
      compare size "$root/out" "'$floor' write 1048576 abc '$root/out' $files" \
        "'$cli' -q --size=1M -t abc '$root/l.txt'"
      ;;
    clone)
      if ! command -v mkfs.btrfs >/dev/null; then
        echo "clone     skipped: mkfs.btrfs is missing (Debian package btrfs-progs)"
        continue
      fi
      image=$PWD/$build/content-btrfs-$$.img
      mnt=$(mktemp -d)
      truncate -s 8G "$image"
      if ! mkfs.btrfs -q "$image" >/dev/null 2>&1 || ! mount -o loop "$image" "$mnt" 2>/dev/null; then
        echo "clone     skipped: no loop mount here (needs root and a loop device)"
        continue
      fi
      head -c 10485760 /dev/urandom >"$mnt/t10m"
      list "$mnt/out" "$mnt/l.txt"
      compare clone "$mnt/out" "'$floor' clone '$mnt/t10m' '$mnt/out' $files" \
        "'$cli' -q -f '$mnt/t10m' '$mnt/l.txt'"
      # The space of one more run's files, against as many full copies.
      sync -f "$mnt"
      before=$(df --output=used -B1 "$mnt" | tail -1)
      mkdir -p "$mnt/out"
      "$cli" -q -f "$mnt/t10m" "$mnt/l.txt"
      sync -f "$mnt"
      after=$(df --output=used -B1 "$mnt" | tail -1)
      full=$((files * 10485760))
      awk -v u=$((after - before)) -v f="$full" 'BEGIN {
        printf "clone     space: %.0f bytes used for %.0f bytes of copies: %.3f%%\n", u, f, 100 * u / f }'
      ;;
    *) echo "content.sh: unknown case '$c'" >&2; exit 2 ;;
  esac
done
