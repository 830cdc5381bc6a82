#!/usr/bin/env bash
# Replacing existing files on ext4 with and without auto_da_alloc: a fresh ext4 image on the
# disk, loop-mounted once with the default options and once with noauto_da_alloc; in each, the
# in-place floor (open with O_TRUNC), the rename floor (creation_floor --rename) and
# pellatrix-cli replace FILES existing files in 100 folders, REPEATS times, turning order; then
# `sync` is timed, since what a replace leaves to write back is paid there or by the next run.
# Root only (mount). Usage: bench/ext4_replace.sh [BUILD_DIR] [REPEATS] [FILES]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-engine}
reps=${2:-3}
files=${3:-20000}
cli=$build/bin/pellatrix-cli
floor=$build/bin/creation_floor
[ "$(id -u)" = 0 ] || { echo "ext4_replace.sh: needs root to mount" >&2; exit 2; }
work=$PWD/$build/ext4-bench-$$
img=$work/ext4.img
mnt=$work/mnt
mkdir -p "$mnt"
cleanup() { umount "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
truncate -s 2G "$img"
mkfs.ext4 -q -F "$img"
text="fixed text for every file"
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
printf '%-16s %-7s %9s %9s\n' options tool ms sync_ms
for options in defaults noauto_da_alloc; do
  mount -o loop,"$options" "$img" "$mnt"
  python3 - "$mnt" "$files" <<'PY'
import sys
root, files = sys.argv[1], int(sys.argv[2])
with open(f"{root}/fixed.txt", "w") as out:
    for i in range(files):
        out.write(f"{root}/out/d{i % 100:03d}/f{i:07d}.txt\n")
PY
  "$floor" "$mnt/out" 100 "$files" fixed "$text"
  sync
  tools=(floor rename cli)
  for tool in "${tools[@]}"; do : >"$work/t.$tool"; : >"$work/s.$tool"; done
  for ((r = 0; r < reps; r++)); do
    for ((k = 0; k < 3; k++)); do
      tool=${tools[$(((k + r) % 3))]}
      case $tool in
        floor) cmd=("$floor" "$mnt/out" 100 "$files" fixed "$text") ;;
        rename) cmd=("$floor" --rename "$mnt/out" 100 "$files" fixed "$text") ;;
        cli) cmd=("$cli" --text "$text" "$mnt/fixed.txt") ;;
      esac
      sync
      t0=$(now_ms); "${cmd[@]}" >/dev/null; t1=$(now_ms); sync; t2=$(now_ms)
      echo $((t1 - t0)) >>"$work/t.$tool"; echo $((t2 - t1)) >>"$work/s.$tool"
    done
  done
  for tool in "${tools[@]}"; do
    printf '%-16s %-7s %9s %9s\n' "$options" "$tool" "$(median <"$work/t.$tool")" \
      "$(median <"$work/s.$tool")"
  done
  umount "$mnt"
done
