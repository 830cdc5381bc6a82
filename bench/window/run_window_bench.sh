#!/usr/bin/env bash
# run_window_bench.sh BUILD_DIR [TREE] [REPEATS]: builds the benchmark tree (once, with
# bench/scan/make_tree.sh) and times a folder add through the window against find on it.
# Example: bench/window/run_window_bench.sh build-inputlist
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_window_bench.sh BUILD_DIR [TREE] [REPEATS]}
tree=${2:-/tmp/pellatrix-scan-tree}
repeats=${3:-3}
"$here/../scan/make_tree.sh" "$tree"
cmake --build "$build" --target pellatrix_window_bench >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bin/pellatrix_window_bench" "$tree" "$repeats"
