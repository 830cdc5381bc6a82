#!/usr/bin/env bash
# Memory benchmark: the peak resident set of pellatrix-cli (getrusage of the child, via peak_rss)
# over lists that once made it balloon, against the bound of twice the list's bytes plus 64 MiB.
# Usage: bench/memory.sh BUILD_DIR [WORK_DIR]   (WORK_DIR needs about 2.3 GB of disk; the 2 GiB
# list is sparse). Set MEMORY_BENCH_NUL=1 to also run the 2 GiB list with -0 (slow: 2^31 entries).
set -euo pipefail
build=$(cd "$1" && pwd)
work=${2:-$(mktemp -d)}
mkdir -p "$work"
cli=$build/bin/pellatrix-cli
peak=$build/bin/peak_rss
[ -x "$cli" ] && [ -x "$peak" ] || { echo "build pellatrix-cli and peak_rss in $build first" >&2; exit 2; }
cd "$work"
trap 'rm -rf "$work/out" "$work/shm-out"' EXIT

echo "making the lists in $work" >&2
[ -f zeros.txt ] || truncate -s 2G zeros.txt
python3 - <<'PY'
import os
mib = 1 << 20
if not os.path.exists("line.txt"):
    with open("line.txt", "wb") as f:
        f.write(b"out/" + b"p" * (100 * mib) + b"\n")
if not os.path.exists("content.txt"):
    with open("content.txt", "wb") as f:
        f.write(b"out/c.txt>" + b"c" * (100 * mib) + b"\n")
if not os.path.exists("million.txt"):
    with open("million.txt", "w") as f:
        for i in range(1000000):
            f.write("shm-out/f%d.txt>line %d\n" % (i % 1000, i))
PY
# The million files go to tmpfs, so the disk does not set the pace.
shm=$(mktemp -d /dev/shm/pellatrix-memory.XXXXXX)
ln -sfn "$shm" shm-out

run() { # name args...
    local name=$1; shift
    local list=${!#}
    local bytes kib start end
    bytes=$(stat -c %s "$list")
    rm -rf out
    start=$(date +%s.%N)
    # The run fails for the doomed paths (exit 1); only its peak matters here.
    kib=$("$peak" "$cli" "$@" 2>&1 >/dev/null | awk '/^peak_rss_kib/ {print $2}' || true)
    end=$(date +%s.%N)
    awk -v n="$name" -v b="$bytes" -v k="$kib" -v s="$start" -v e="$end" 'BEGIN {
        bound = 2 * b / 1024 + 65536
        printf "%-14s %12d %11d %11d %8.2fx %8.1f  %s\n", n, b / 1024, k, bound, k * 1024 / b,
               e - s, (k <= bound ? "met" : "MISSED")
    }'
}

printf "%-14s %12s %11s %11s %9s %8s  %s\n" case list_kib peak_kib bound_kib peak/list seconds bound
run "2GiB-nul-line" zeros.txt
run "100MiB-path" line.txt
run "100MiB-text" content.txt
run "million-lines" million.txt
if [ "${MEMORY_BENCH_NUL:-0}" = 1 ]; then
    run "2GiB-nul-0" -0 zeros.txt
fi
rm -rf "$shm"
