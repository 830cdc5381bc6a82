#!/usr/bin/env bash
# make_big_tree.sh DIR: the window benchmark's large tree in DIR (once; an existing complete tree
# is kept): 1,000 project folders with 100 part folders each, every part folder holding 10
# "*.txt" files, so 1,000,000 matching files in 101,001 folders. Put it on tmpfs (/dev/shm):
# about 1 GiB of memory there, against minutes of disk time.
set -euo pipefail
dir=${1:?usage: make_big_tree.sh DIR}
marker="$dir/.tree-complete"
if [ -f "$marker" ]; then
  exit 0
fi
mkdir -p "$dir"
cd "$dir"
for p in $(seq -w 0 999); do
  mkdir -p "project$p"
  (
    cd "project$p"
    mkdir -p part{00..99}
    touch part{00..99}/notes-{0..9}.txt
  )
done
touch "$marker"
