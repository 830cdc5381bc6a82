#!/usr/bin/env bash
# run_window_bench.sh BUILD_DIR [TREE] [REPEATS] [BIG_TREE]: the window's benchmarks, each part in
# its own process: the folder add against find on TREE (bench/scan/make_tree.sh, 100,000 files)
# and on BIG_TREE (make_big_tree.sh, 1,000,000 files, on tmpfs), the peak memory of a real folder
# add of BIG_TREE, single list operations at 1,000,000 entries, and a creation run of 100,000
# files from the window against the creation floor and pellatrix-cli on tmpfs. Each part prints
# the load average it ran at.
# Example: bench/window/run_window_bench.sh build /tmp/pellatrix-scan-tree 5
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_window_bench.sh BUILD_DIR [TREE] [REPEATS] [BIG_TREE]}
tree=${2:-/tmp/pellatrix-scan-tree}
repeats=${3:-5}
big=${4:-/dev/shm/pellatrix-tree-1m}
root=/dev/shm/pellatrix-window-bench-$$
trap 'rm -rf "$root"' EXIT
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
