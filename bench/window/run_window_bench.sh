#!/usr/bin/env bash
# run_window_bench.sh BUILD_DIR [TREE] [REPEATS]: the window's benchmarks, each part in its own
# process: the folder add against find on TREE (built once with bench/scan/make_tree.sh), the
# peak memory after 1,000,000 entries, single list operations at 1,000,000 entries, and a
# creation run of 100,000 files from the window against the creation floor on tmpfs.
# Example: bench/window/run_window_bench.sh build /tmp/pellatrix-scan-tree 5
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_window_bench.sh BUILD_DIR [TREE] [REPEATS]}
tree=${2:-/tmp/pellatrix-scan-tree}
repeats=${3:-5}
root=/dev/shm/pellatrix-window-bench-$$
trap 'rm -rf "$root"' EXIT
"$here/../scan/make_tree.sh" "$tree"
cmake --build "$build" --target pellatrix_window_bench creation_floor >/dev/null
bench=$build/bin/pellatrix_window_bench
export QT_QPA_PLATFORM=offscreen
"$bench" add "$tree" "$repeats"
"$bench" memory 1000000
"$bench" ops 1000000
"$bench" creation "$build/bin/creation_floor" "$root" 100000 "$repeats"
