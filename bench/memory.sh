#!/usr/bin/env bash
# Memory benchmark: the peak resident set of pellatrix-cli (getrusage of the child, via peak_rss)
# over lists that once made it balloon, against the bound of twice the list's bytes plus 64 MiB.
# Usage: bench/memory.sh BUILD_DIR [WORK_DIR]   (WORK_DIR needs about 2.3 GB of disk; the 2 GiB
# list is sparse). Set MEMORY_BENCH_NUL=1 to also run the 2 GiB list with -0 (slow: 2^31 entries),
# MEMORY_BENCH_ENTRY=1 to also run one entry of 2 GiB with -0 (a list of 2 GiB of 'p', written).
# MEMORY_BENCH_BASELINE=PATH runs another pellatrix-cli (an earlier build) on the same lists in the
# same run, except the 2 GiB one (an earlier build took 12.6 GB there), and prints new/old.
set -euo pipefail
build=$(cd "$1" && pwd)
work=${2:-$(mktemp -d)}
mkdir -p "$work"
cli=$build/bin/pellatrix-cli
peak=$build/bin/peak_rss
[ -x "$cli" ] && [ -x "$peak" ] || { echo "build pellatrix-cli and peak_rss in $build first" >&2; exit 2; }
cd "$work"

echo "making the lists in $work" >&2
[ -f zeros.txt ] || truncate -s 2G zeros.txt
python3 - <<'PY'
import os
mib = 1 << 20
if not os.path.exists("line.txt"):
    with open("line.txt", "wb") as f:
        f.write(b"out/" + b"p" * (100 * mib) + b"\n")
if not os.path.exists("path256.txt"):
    with open("path256.txt", "wb") as f:
        f.write(b"out/" + b"p" * (256 * mib) + b"\n")
if not os.path.exists("entry256.txt"):
    with open("entry256.txt", "wb") as f:
        f.write(b"out/" + b"p" * (256 * mib))
if os.environ.get("MEMORY_BENCH_ENTRY") == "1" and not os.path.exists("entry2g.txt"):
    with open("entry2g.txt", "wb") as f:
        f.write(b"out/")
        for _ in range(2048):
            f.write(b"p" * mib)
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
trap 'rm -rf "$work/out" "$shm"' EXIT
ln -sfn "$shm" shm-out

baseline=${MEMORY_BENCH_BASELINE:-}

peak_of() { # program args... -> peak KiB
    rm -rf out
    # The run fails for the doomed paths (exit 1); only its peak matters here.
    "$peak" "$@" 2>&1 >/dev/null | cut -c1-100 | awk '/^peak_rss_kib/ {print $2}' || true
}

run() { # name args...
    local name=$1; shift
    local list=${!#}
    local bytes kib start end old=0
    bytes=$(stat -c %s "$list")
    start=$(date +%s.%N)
    kib=$(peak_of "$cli" "$@")
    end=$(date +%s.%N)
    if [ -n "$baseline" ] && [ "${name#2GiB}" = "$name" ]; then
        old=$(peak_of "$baseline" "$@")
    fi
    awk -v n="$name" -v b="$bytes" -v k="$kib" -v s="$start" -v e="$end" -v o="$old" 'BEGIN {
        bound = 2 * b / 1024 + 65536
        printf "%-14s %12d %11d %11d %8.2fx %8.1f  %-6s", n, b / 1024, k, bound, k * 1024 / b,
               e - s, (k <= bound ? "met" : "MISSED")
        if (o > 0) printf " %11d %8.2fx", o, k / o
        printf "\n"
    }'
}

printf "%-14s %12s %11s %11s %9s %8s  %-6s %11s %9s\n" case list_kib peak_kib bound_kib \
    peak/list seconds bound old_kib new/old
run "2GiB-nul-line" zeros.txt
run "100MiB-path" line.txt
run "256MiB-path" path256.txt
run "256MiB-entry-0" -0 entry256.txt
run "100MiB-text" content.txt
run "million-lines" million.txt
if [ "${MEMORY_BENCH_ENTRY:-0}" = 1 ]; then
    run "2GiB-entry-0" -0 entry2g.txt
fi
if [ "${MEMORY_BENCH_NUL:-0}" = 1 ]; then
    run "2GiB-nul-0" -0 zeros.txt
fi
