#!/usr/bin/env bash
# Journal and preview benchmark. First the cost of the undo journal: pellatrix-cli making
# FILES files (default 100,000 in 100 folders, fixed text) and replacing them, on tmpfs
# (/dev/shm) and on the disk (the build folder), without a journal (its state folder cannot be
# made), with the journal on the same file system (old content kept by hard links) and with the
# journal on the other place (old content copied). Then a preview (--dry-run) of 1,000,000
# lines against preview_floor (a plain read of the list plus one stat per path), for new files
# in existing folders and for 1,000 existing files named 1,000 times each.
#
# Usage: bench/journal.sh [BUILD_DIR] [REPEATS] [FILES]; JOURNAL_BENCH_PLACES ("tmpfs disk")
# narrows the first table, JOURNAL_BENCH_PREVIEW=0 skips the preview, JOURNAL_BENCH_BASELINE=PATH
# adds another pellatrix-cli (an earlier build) with the journal beside the files.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-3}
files=${3:-100000}
folders=100
cli=$PWD/$build/bin/pellatrix-cli
floor=$PWD/$build/bin/creation_floor
pfloor=$PWD/$build/bin/preview_floor
peak=$PWD/$build/bin/peak_rss
for b in "$cli" "$floor" "$pfloor" "$peak"; do
  [ -x "$b" ] || { echo "journal.sh: $b is missing; build $build first" >&2; exit 2; }
done
tmpfs=/dev/shm/pellatrix-journal-$$
disk=$PWD/$build/journal-bench-$$
trap 'rm -rf "$tmpfs" "$disk"' EXIT
mkdir -p "$tmpfs" "$disk"

now_ns() { date +%s%N; }
median() {  # of column $1 (default 1) of the input
  awk -v c="${1:-1}" '{print $c}' | sort -n |
    awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
timed() {  # prints "wall_ms cpu_ms" of the command (cpu: user + system, through peak_rss)
  local t0 t1 cpu
  t0=$(now_ns)
  cpu=$("$peak" "$@" 2>&1 >/dev/null | awk '/^cpu_ms/ {print $2}')
  t1=$(now_ns)
  echo "$(((t1 - t0) / 1000000)) ${cpu:-0}"
}

for root in "$tmpfs" "$disk"; do
  python3 - "$root" "$files" "$folders" <<'PY'
import sys
root, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(f"{root}/list.txt", "w") as out:
    for i in range(files):
        out.write(f"{root}/out/d{i % folders:03d}/f{i:07d}.txt\n")
PY
done

# Replacing, two more floors join: the rename floor (a new file written beside each and renamed
# over it) and the keep floor (the same plus a hard link of the old file into a folder, what a
# journal beside the files does). Processor time (user + system) of the same runs is beside the
# wall time: same/keep and cpu same/keep compare the run with the journal beside the files with
# the keep floor.
printf '%-6s %-8s %9s %9s %9s %9s %9s %9s %10s %10s %10s %10s' place files floor_ms \
  rename_ms keep_ms none_ms same_ms other_ms same/none other/none same/keep cpu_s/keep
[ -n "${JOURNAL_BENCH_BASELINE:-}" ] && printf ' %9s %10s %10s' old_ms same/old cpu_s/old
printf '\n'
for place in ${JOURNAL_BENCH_PLACES:-tmpfs disk}; do
  if [ $place = tmpfs ]; then root=$tmpfs other=$disk; else root=$disk other=$tmpfs; fi
  for state in new replace; do
    tools=(floor none same other)
    [ $state = replace ] && tools=(floor rename keep none same other)
    [ -n "${JOURNAL_BENCH_BASELINE:-}" ] && tools+=(old)
    for v in floor rename keep none same other old; do : >"$root/t.$v"; done
    for ((r = 0; r < reps; r++)); do
      # Interleaved, in a turning order, so load from elsewhere favours no tool.
      for ((k = 0; k < ${#tools[@]}; k++)); do
        v=${tools[$(((k + r) % ${#tools[@]}))]}
        if [ $state = new ]; then rm -rf "$root/out"; else
          [ -d "$root/out" ] || "$floor" "$root/out" $folders "$files" fixed "old text"; fi
        rm -rf "$root/state" "$other/state" "$root/keep"
        sync -f "$root" 2>/dev/null || true
        case $v in
          floor) cmd=("$floor" "$root/out" $folders "$files" fixed "text") ;;
          rename) cmd=("$floor" --rename "$root/out" $folders "$files" fixed "text") ;;
          keep) cmd=("$floor" --rename --keep "$root/keep" "$root/out" $folders "$files" fixed
                     "text") ;;
          none) cmd=(env XDG_STATE_HOME=/proc/no-state "$cli" --text text "$root/list.txt") ;;
          same) cmd=(env XDG_STATE_HOME="$root/state" "$cli" --text text "$root/list.txt") ;;
          other) cmd=(env XDG_STATE_HOME="$other/state" "$cli" --text text "$root/list.txt") ;;
          old) cmd=(env XDG_STATE_HOME="$root/state" "$JOURNAL_BENCH_BASELINE" --text text
                    "$root/list.txt") ;;
        esac
        timed "${cmd[@]}" >>"$root/t.$v"
      done
    done
    f=$(median 1 <"$root/t.floor"); n=$(median 1 <"$root/t.none")
    s=$(median 1 <"$root/t.same"); o=$(median 1 <"$root/t.other")
    rn=- kp=- sk=- csk=-
    if [ $state = replace ]; then
      rn=$(median 1 <"$root/t.rename"); kp=$(median 1 <"$root/t.keep")
      sk=$(ratio "$s" "$kp")
      csk=$(ratio "$(median 2 <"$root/t.same")" "$(median 2 <"$root/t.keep")")
    fi
    printf '%-6s %-8s %9s %9s %9s %9s %9s %9s %10s %10s %10s %10s' $place $state "$f" "$rn" \
      "$kp" "$n" "$s" "$o" "$(ratio "$s" "$n")" "$(ratio "$o" "$n")" "$sk" "$csk"
    if [ -s "$root/t.old" ]; then
      # The earlier build with the journal beside the files: its time and the new one's ratio.
      printf ' %9s %10s %10s' "$(median 1 <"$root/t.old")" \
        "$(ratio "$s" "$(median 1 <"$root/t.old")")" \
        "$(ratio "$(median 2 <"$root/t.same")" "$(median 2 <"$root/t.old")")"
    fi
    printf '\n'
  done
  rm -rf "$root/out" "$root/state" "$root/keep"
done

# Preview of 1,000,000 lines on tmpfs.
[ "${JOURNAL_BENCH_PREVIEW:-1}" = 0 ] && exit 0
root=$tmpfs/preview
mkdir -p "$root"
python3 - "$root" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(1000):
    os.makedirs(f"{root}/out/d{d:03d}", exist_ok=True)
with open(f"{root}/new.txt", "w") as out:
    for i in range(1_000_000):
        out.write(f"{root}/out/d{i % 1000:03d}/f{i:07d}.txt>content of line {i}\n")
with open(f"{root}/existing.txt", "w") as out:
    for i in range(1_000_000):
        out.write(f"{root}/out/d{i % 1000:03d}/e{i % 1000:07d}.txt>content of line {i}\n")
for i in range(1000):
    open(f"{root}/out/d{i:03d}/e{i:07d}.txt", "w").close()
PY
printf '\n%-9s %9s %9s %9s\n' preview floor_ms cli_ms cli/floor
for list in new existing; do
  : >"$root/t.floor"; : >"$root/t.cli"
  for ((r = 0; r < reps; r++)); do
    timed "$pfloor" "$root/$list.txt" >>"$root/t.floor"
    timed "$cli" --dry-run "$root/$list.txt" >>"$root/t.cli"
  done
  f=$(median 1 <"$root/t.floor"); c=$(median 1 <"$root/t.cli")
  printf '%-9s %9s %9s %9s\n' $list "$f" "$c" "$(ratio "$c" "$f")"
done
