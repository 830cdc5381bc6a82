#!/usr/bin/env bash
# run_window_bench.sh BUILD_DIR [TREE] [REPEATS] [BIG_TREE]: the window's benchmarks, each part in
# its own process: the folder add against find on TREE (bench/scan/make_tree.sh, 100,000 files)
# and on BIG_TREE (make_big_tree.sh, 1,000,000 files, on tmpfs), the peak memory of a real folder
# add of BIG_TREE, single list operations at 1,000,000 entries, and a creation run of 100,000
# files from the window against the creation floor and pellatrix-cli on tmpfs, and one of
# WINDOW_BENCH_FUSE_FILES files (default 2,000) on delayfs (bench/network: FUSE, 500 µs a
# request; WINDOW_BENCH_FUSE_DELAY), the journals there too, where FUSE can be mounted. Each part
# prints the load average it ran at.
# Example: bench/window/run_window_bench.sh build /tmp/pellatrix-scan-tree 5
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_window_bench.sh BUILD_DIR [TREE] [REPEATS] [BIG_TREE]}
tree=${2:-/tmp/pellatrix-scan-tree}
repeats=${3:-5}
big=${4:-/dev/shm/pellatrix-tree-1m}
root=/dev/shm/pellatrix-window-bench-$$
mnt=$root-fuse/mnt
fspid=
unmount() {
  [ -n "$fspid" ] || return 0
  fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null || true
  wait "$fspid" 2>/dev/null || true
  fspid=
}
trap 'unmount; rm -rf "$root" "$root-fuse"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
"$here/../scan/make_tree.sh" "$tree"
"$here/make_big_tree.sh" "$big"
cmake --build "$build" --target pellatrix_window_bench creation_floor pellatrix-cli >/dev/null
bench=$build/bin/pellatrix_window_bench
export QT_QPA_PLATFORM=offscreen
load() { echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"; }
load; "$bench" add "$tree" "$repeats"
load; "$bench" add "$big" 3
load; "$bench" memory "$big"
load; "$bench" ops 1000000
load; "$bench" creation "$build/bin/creation_floor" "$root" 100000 "$repeats"
load
# The same run on a network file system stood in by delayfs: the floor is one file at a time,
# the window and pellatrix-cli take their default number of steps at once (32 on FUSE).
cmake --build "$build" --target delayfs >/dev/null 2>&1 || true
delayfs=$build/bin/delayfs
if [ -x "$delayfs" ] && [ -c /dev/fuse ] && command -v fusermount3 >/dev/null; then
  mkdir -p "$root-fuse/backing" "$mnt"
  "$delayfs" "${WINDOW_BENCH_FUSE_DELAY:-500}" "$root-fuse/backing" "$mnt" 2>/dev/null &
  fspid=$!
  for ((i = 0; i < 50; i++)); do
    awk -v m="$mnt" '$5 == m {found = 1} END {exit !found}' /proc/self/mountinfo && break
    sleep 0.1
  done
  if awk -v m="$mnt" '$5 == m {found = 1} END {exit !found}' /proc/self/mountinfo; then
    echo "on delayfs, ${WINDOW_BENCH_FUSE_DELAY:-500} µs a request:"
    XDG_STATE_HOME=$mnt/state WINDOW_BENCH_NO_GOAL=1 "$bench" creation "$build/bin/creation_floor" "$mnt/run" \
      "${WINDOW_BENCH_FUSE_FILES:-2000}" "$repeats"
    load
  else
    echo "delayfs part skipped: FUSE cannot be mounted at $mnt"
  fi
  unmount
else
  echo "delayfs part skipped: delayfs not built (fuse3), or no /dev/fuse or fusermount3"
fi
