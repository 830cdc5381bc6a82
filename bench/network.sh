#!/usr/bin/env bash
# Network benchmark: pellatrix-cli on a file system where every request is a round trip, with its
# default number of steps at once (32 on FUSE and network file systems) and with --jobs=1,
# against the least-work loop (parallel_floor) with one thread and with 16 threads. The file
# system is delayfs, a pass-through FUSE file system over a folder on tmpfs that answers every
# request after DELAY microseconds; it is mounted at each delay in turn (0, 100 and 500), all in
# one run.
# At each delay FILES files (default 2,000 in 100 folders, fixed text) are made new and replace
# existing ones (the loop then writes a temporary file and renames it over). The companion reads a
# real list file on the share and keeps its journal there (XDG_STATE_HOME on the share, as with a
# home folder on a network file system). Every timed run writes a tree of its own, and the files a
# replace finds are made beforehand through the backing folder, untimed, so no cache of the mount
# favours one tool. The table gives medians and the ratios against the 16-thread loop, and the
# requests per file the share served to the 16-thread loop and to the companion (medians).
#
# Usage: bench/network.sh [BUILD_DIR] [REPEATS] [FILES]; NETWORK_BENCH_DELAYS ("0 100 500")
# picks the delays in microseconds; NETWORK_BENCH_FS_OPTIONS gives delayfs options (e.g.
# "--threads=10 --no-inodes": a server with 10 slots and no inode numbers); NETWORK_BENCH_JOBS gives the companion's "cli" runs a
# --jobs of their own instead of its default. Needs /dev/fuse and fusermount3; skips where FUSE cannot be
# mounted.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-3}
files=${3:-2000}
folders=100
threads=16
text="fixed text for every file"
cli=$PWD/$build/bin/pellatrix-cli
floor=$PWD/$build/bin/parallel_floor
delayfs=$PWD/$build/bin/delayfs
for b in "$cli" "$floor"; do
  [ -x "$b" ] || { echo "network.sh: $b is missing; build $build first" >&2; exit 2; }
done
skip() { echo "network.sh: skipped: $*" >&2; exit 0; }
[ -x "$delayfs" ] || skip "$delayfs is not built (fuse3 not found: install libfuse3-dev and fuse3)"
[ -c /dev/fuse ] || skip "no /dev/fuse here"
command -v fusermount3 >/dev/null || skip "no fusermount3 (Debian package fuse3)"

work=/dev/shm/pellatrix-network-$$
backing=$work/backing
mnt=$work/mnt
fspid=
mounted() { awk -v m="$mnt" '$5 == m {found = 1} END {exit !found}' /proc/self/mountinfo; }
unmount() {
  [ -n "$fspid" ] || return 0
  # A busy mount (a tool still running after a signal) is detached lazily rather than left.
  fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null || true
  wait "$fspid" 2>/dev/null || true
  fspid=
}
cleanup() { unmount; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mkdir -p "$mnt"

mount_at() {  # delay in microseconds
  rm -rf "$backing"; mkdir -p "$backing"
  # shellcheck disable=SC2086  # the options are words of their own
  "$delayfs" ${NETWORK_BENCH_FS_OPTIONS:-} "$1" "$backing" "$mnt" 2>"$work/delayfs.err" &
  fspid=$!
  for ((i = 0; i < 50; i++)); do
    mounted && return 0
    kill -0 "$fspid" 2>/dev/null || break
    sleep 0.1
  done
  fspid=
  skip "cannot mount FUSE at $mnt ($(tr '\n' ' ' <"$work/delayfs.err"))"
}

make_list() {  # root list: the FILES paths under root, one a line
  awk -v r="$1" -v n="$files" -v f="$folders" \
    'BEGIN {for (i = 0; i < n; i++) printf "%s/d%03d/f%07d.txt\n", r, i % f, i}' >"$2"
}

# The requests delayfs served since it was last asked (it tells them on USR1 and starts again).
requests() {
  local before
  before=$(grep -c '^requests ' "$work/delayfs.err" || true)
  kill -USR1 "$fspid"
  for ((i = 0; i < 100; i++)); do
    [ "$(grep -c '^requests ' "$work/delayfs.err" || true)" -gt "$before" ] && break
    sleep 0.02
  done
  grep '^requests ' "$work/delayfs.err" | tail -1 | awk '{print $2}'
}

now_ns() { date +%s%N; }
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
timed() {  # tool command...: prints the wall time in ms; a failing tool is said, not hidden
  local tool=$1 t0 t1 rc=0
  shift
  t0=$(now_ns)
  "$@" >/dev/null 2>"$work/err" || rc=$?
  t1=$(now_ns)
  [ $rc -eq 0 ] || echo "network.sh: $tool exited with $rc: $(head -c 300 "$work/err")" >&2
  echo $(((t1 - t0) / 1000000))
}

tools=(loop1 loop16 cli cli1)
printf '%-8s %-8s %6s %9s %9s %9s %9s %12s %10s %11s %9s %9s\n' delay_us work files loop1_ms \
  loop16_ms cli_ms cli1_ms loop1/loop16 cli/loop16 cli1/loop16 req_loop req_cli
for delay in ${NETWORK_BENCH_DELAYS:-0 100 500}; do
  mount_at "$delay"
  for state in new replace; do
    for tool in "${tools[@]}"; do : >"$work/t.$tool"; : >"$work/q.$tool"; done
    for ((r = 0; r < reps; r++)); do
      # The order turns each round, so no tool always runs first after the set-up.
      for ((k = 0; k < ${#tools[@]}; k++)); do
        tool=${tools[$(((k + r) % ${#tools[@]}))]}
        name=$state-$tool-$r
        make_list "$mnt/$name" "$backing/$name.list"
        if [ $state = replace ]; then
          make_list "$backing/$name" "$work/old.list"
          "$floor" --threads "$threads" "$work/old.list" "old text"
          flag=(--rename)
        else
          flag=()
        fi
        case $tool in
          loop1) cmd=("$floor" "${flag[@]}" "$mnt/$name.list" "$text") ;;
          loop16) cmd=("$floor" "${flag[@]}" --threads "$threads" "$mnt/$name.list" "$text") ;;
          cli) cmd=(env XDG_STATE_HOME="$mnt/state" "$cli" ${NETWORK_BENCH_JOBS:+--jobs="$NETWORK_BENCH_JOBS"}
                    --text "$text" "$mnt/$name.list") ;;
          cli1) cmd=(env XDG_STATE_HOME="$mnt/state" "$cli" --jobs=1 --text "$text" "$mnt/$name.list") ;;
        esac
        requests >/dev/null
        timed "$tool" "${cmd[@]}" >>"$work/t.$tool"
        requests >>"$work/q.$tool"
      done
    done
    one=$(median <"$work/t.loop1"); many=$(median <"$work/t.loop16"); c=$(median <"$work/t.cli")
    c1=$(median <"$work/t.cli1")
    perfile() { awk -v n="$(median <"$1")" -v f="$files" 'BEGIN {printf "%.1f", n / f}'; }
    printf '%-8s %-8s %6s %9s %9s %9s %9s %12s %10s %11s %9s %9s\n' "$delay" $state "$files" \
      "$one" "$many" "$c" "$c1" "$(ratio "$one" "$many")" "$(ratio "$c" "$many")" \
      "$(ratio "$c1" "$many")" "$(perfile "$work/q.loop16")" "$(perfile "$work/q.cli")"
  done
  unmount
done
