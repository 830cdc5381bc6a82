#!/usr/bin/env bash
# run_scan_bench.sh BUILD_DIR [TREE] [REPEATS]: builds the benchmark tree (once) and times the
# engine scan against find on it. Example: bench/scan/run_scan_bench.sh build-folderscan
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_scan_bench.sh BUILD_DIR [TREE] [REPEATS]}
tree=${2:-/tmp/pellatrix-scan-tree}
repeats=${3:-9}
"$here/make_tree.sh" "$tree"
cmake --build "$build" --target pellatrix_scan_bench >/dev/null
"$build/bin/pellatrix_scan_bench" "$tree" "$repeats"
