#!/usr/bin/env bash
# make_tree.sh DIR: builds the scan benchmark tree in DIR (once; an existing complete tree is
# kept): 10,000 folders (100 top folders with 99 subfolders each) holding 10 files each, 8 of
# them "*.txt", so 100,000 files of which 80,000 match "*.txt". Every benchmark of a folder scan
# (the engine driver here, a through-the-window run later) starts from this tree.
set -euo pipefail
dir=${1:?usage: make_tree.sh DIR}
marker="$dir/.tree-complete"
if [ -f "$marker" ]; then
  exit 0
fi
mkdir -p "$dir"
cd "$dir"
for t in $(seq -w 0 99); do
  mkdir -p "t$t"
  (
    cd "t$t"
    mkdir -p s{00..98}
    touch f{0..7}.txt g{0..1}.dat
    touch s{00..98}/f{0..7}.txt s{00..98}/g{0..1}.dat
  )
done
touch "$marker"
