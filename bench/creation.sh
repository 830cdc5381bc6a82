#!/usr/bin/env bash
# Creation benchmark: pellatrix-cli against the floor (creation_floor: folders plus
# open/write/close per file, no list) and against the Python script a user would write, on tmpfs
# and on the disk, in fixed-text and per-line modes, making new files and replacing existing
# ones (there also against the rename floor, creation_floor --rename); then 10,000 list files
# sharing one name against 10,000 with distinct names; then peak memory for a 1,000,000-line list.
#
# Usage: bench/creation.sh [BUILD_DIR] [REPEATS] [FILES]
#   BUILD_DIR defaults to build-engine (configured with the default RelWithDebInfo build),
#   REPEATS to 5, FILES to 100000 (spread over 100 folders). LISTS=N sets the number of list
#   files of the many-lists case (default 10000). CREATION_BENCH_MODES ("fixed perline") and
#   CREATION_BENCH_STATES ("new replace") narrow the table.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-engine}
reps=${2:-5}
files=${3:-100000}
folders=100
cli=$build/bin/pellatrix-cli
floor=$build/bin/creation_floor
peak=$build/bin/peak_rss
for b in "$cli" "$floor" "$peak"; do
  [ -x "$b" ] || { echo "creation.sh: $b is missing; build $build first" >&2; exit 2; }
done
# The interpreter itself, not a version-manager shim that would add its own start-up to Python.
python=$(python3 -c 'import sys; print(sys.executable)')
script=bench/create_files.py
text="fixed text for every file"

places=()
# CREATION_BENCH_PLACES="tmpfs disk" (the default) picks where the files are made; "none" skips
# to the many-lists and memory cases.
for p in ${CREATION_BENCH_PLACES:-tmpfs disk}; do
  case $p in
    tmpfs) places+=("tmpfs:/dev/shm/pellatrix-bench-$$") ;;
    disk) places+=("disk:$PWD/$build/bench-data-$$") ;;
    none) ;;
    *) echo "creation.sh: unknown place '$p'" >&2; exit 2 ;;
  esac
done
cleanup() { for p in "${places[@]}"; do rm -rf "${p#*:}"; done; }
trap cleanup EXIT

now_ns() { date +%s%N; }
median() {  # of column $1 of the input
  awk -v c="$1" '{print $c}' | sort -n |
    awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }

make_lists() {  # root: writes root/fixed.txt and root/perline.txt naming the floor's files
  "$python" - "$1" "$files" "$folders" <<'PY'
import sys
root, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(f"{root}/fixed.txt", "w") as fixed, open(f"{root}/perline.txt", "w") as per:
    for i in range(files):
        path = f"{root}/out/d{i % folders:03d}/f{i:07d}.txt"
        fixed.write(path + "\r\n")
        per.write(f"{path}>content of file {i}\r\n")
PY
}

run_timed() {  # prints "wall_ms cpu_ms" of the command, after removing the output tree (new)
  local root=$1 state=$2; shift 2
  [ "$state" = new ] && rm -rf "$root/out"
  sync -f "$root" 2>/dev/null || true
  local t0 t1 cpu
  t0=$(now_ns)
  cpu=$("$peak" "$@" 2>&1 >/dev/null | awk '/^cpu_ms/ {print $2}')
  t1=$(now_ns)
  echo "$(( (t1 - t0) / 1000000 )) $cpu"
}

# Wall time is what the goals are about; processor time (user + system) of the same runs shows
# the tools' own work where a shared disk makes wall time noisy. Replacing, the floor writes in
# place (open with O_TRUNC) and the rename floor writes a new file and renames it over.
printf '%-6s %-8s %-8s %9s %9s %9s %9s %10s %10s %11s %11s\n' place mode files floor_ms \
  rename_ms cli_ms python_ms cli/floor cli/rename python/cli cpu_cli/flr
for place in "${places[@]}"; do
  name=${place%%:*}; root=${place#*:}
  rm -rf "$root"; mkdir -p "$root"
  make_lists "$root"
  for mode in ${CREATION_BENCH_MODES:-fixed perline}; do
    for state in ${CREATION_BENCH_STATES:-new replace}; do
      tools=(floor cli python)
      if [ "$state" = replace ]; then
        tools=(floor rename cli python)
        # Every file exists before each timed run: made once here, and again by each tool.
        rm -rf "$root/out"
        "$floor" "$root/out" "$folders" "$files" fixed "$text"
      fi
      for tool in floor rename cli python; do : >"$root/t.$tool"; done
      for ((r = 0; r < reps; r++)); do
        # Interleaved, and the order turns each round, so neither load from elsewhere nor the
        # disk's leftover work from the previous tool favours one tool.
        for ((k = 0; k < ${#tools[@]}; k++)); do
          tool=${tools[$(((k + r) % ${#tools[@]}))]}
          case $tool:$mode in
            floor:fixed) cmd=("$floor" "$root/out" "$folders" "$files" fixed "$text") ;;
            floor:perline) cmd=("$floor" "$root/out" "$folders" "$files" perline) ;;
            rename:fixed) cmd=("$floor" --rename "$root/out" "$folders" "$files" fixed "$text") ;;
            rename:perline) cmd=("$floor" --rename "$root/out" "$folders" "$files" perline) ;;
            cli:fixed) cmd=("$cli" --text "$text" "$root/fixed.txt") ;;
            cli:perline) cmd=("$cli" "$root/perline.txt") ;;
            python:fixed) cmd=("$python" "$script" "$text" "$root/fixed.txt") ;;
            python:perline) cmd=("$python" "$script" "$text" "$root/perline.txt") ;;
          esac
          run_timed "$root" "$state" "${cmd[@]}" >>"$root/t.$tool"
        done
      done
      f=$(median 1 <"$root/t.floor"); c=$(median 1 <"$root/t.cli"); p=$(median 1 <"$root/t.python")
      fc=$(median 2 <"$root/t.floor"); cc=$(median 2 <"$root/t.cli")
      rn=- cr=-
      if [ -s "$root/t.rename" ]; then
        rn=$(median 1 <"$root/t.rename"); cr=$(ratio "$c" "$rn")
      fi
      printf '%-6s %-8s %-8s %9s %9s %9s %9s %10s %10s %11s %11s\n' "$name" "$mode" "$state" \
        "$f" "$rn" "$c" "$p" "$(ratio "$c" "$f")" "$cr" "$(ratio "$p" "$c")" "$(ratio "$cc" "$fc")"
    done
  done
  rm -rf "$root"
done

# Many list files: LISTS lists (default 10,000) of one line each, in folders of their own. In the
# "shared" case every list is called list.txt and names a file list.txt elsewhere, so every
# target has the name of every list; in the "distinct" case no two names are alike. The guard
# that keeps a run off its own lists must cost the same in both: the ratio stays near 1.
lists=${LISTS:-10000}
root=/dev/shm/pellatrix-bench-lists-$$
places+=("lists:$root")
printf '\n%-9s %7s %9s\n' lists count cli_ms
for naming in distinct shared; do
  rm -rf "$root"; mkdir -p "$root"
  "$python" - "$root" "$lists" "$naming" <<'PY'
import os, sys
root, count, naming = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(f"{root}/args", "w") as args:
    for i in range(count):
        name = "list.txt" if naming == "shared" else f"list{i:05d}.txt"
        target = "list.txt" if naming == "shared" else f"file{i:05d}.txt"
        os.makedirs(f"{root}/lists/d{i:05d}")
        with open(f"{root}/lists/d{i:05d}/{name}", "w") as f:
            f.write(f"{root}/out/d{i:05d}/{target}>x\r\n")
        args.write(f"{root}/lists/d{i:05d}/{name}\n")
PY
  mapfile -t listargs <"$root/args"
  : >"$root/t"
  for ((r = 0; r < reps; r++)); do
    run_timed "$root" new "$cli" "${listargs[@]}" >>"$root/t"
  done
  ms=$(median 1 <"$root/t")
  printf '%-9s %7d %9s\n' "$naming" "$lists" "$ms"
  eval "lists_$naming=$ms"
done
printf 'shared/distinct: %s\n' "$(ratio "$lists_shared" "$lists_distinct")"
rm -rf "$root"

# Peak memory: one list of 1,000,000 per-line entries naming 1,000 distinct files (so the tmpfs
# holds little), measured as the maximum resident set of the whole process.
root=/dev/shm/pellatrix-bench-mem-$$
places+=("mem:$root")
mkdir -p "$root"
"$python" - "$root" <<'PY'
import sys
root = sys.argv[1]
with open(f"{root}/million.txt", "w") as out:
    for i in range(1_000_000):
        out.write(f"{root}/out/d{i % 100:03d}/f{i % 1000:07d}.txt>content of line {i}\r\n")
PY
size=$(stat -c %s "$root/million.txt")
kib=$("$peak" "$cli" "$root/million.txt" 2>&1 >/dev/null | awk '/^peak_rss_kib/ {print $2}')
goal=$(( (size * 3 / 2 + 32 * 1024 * 1024) / 1024 ))
printf 'memory: list %d KiB, peak RSS %d KiB (%.2fx the list), goal <= %d KiB: %s\n' \
  $((size / 1024)) "$kib" "$(awk -v a="$kib" -v b="$size" 'BEGIN {print a * 1024 / b}')" \
  "$goal" "$([ "$kib" -le "$goal" ] && echo met || echo MISSED)"
