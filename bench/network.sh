#!/usr/bin/env bash
# Network benchmark: pellatrix-cli on a file system where every request is a round trip, with its
# default number of steps at once (32 on FUSE and network file systems) and with --jobs=1,
# against the least-work loop (parallel_floor) with one thread and with 16 threads, and against
# the least work of steps that can be taken back (parallel_floor --keep, 16 threads: the target
# looked at, the written file looked at, the old file kept by a hard link). The file system is
# delayfs, a pass-through FUSE file system over a folder on tmpfs that answers every request
# after DELAY microseconds; it is mounted at each delay in turn (0, 100 and 500), all in one run.
# With NETWORK_BENCH_FS=sshfs it is sshfs instead, through a private sshd on this machine (real
# SFTP over loopback, no added delay), mounted once.
# At each delay FILES files (default 2,000 in 100 folders, fixed text) are made new and replace
# existing ones (the loop then writes a temporary file and renames it over). The companion reads a
# real list file on the share and keeps its journal there (XDG_STATE_HOME on the share, as with a
# home folder on a network file system; NETWORK_BENCH_STATE=local keeps it on tmpfs). Every timed
# run writes a tree of its own, and the files a replace finds are made beforehand through the
# backing folder, untimed, so no cache of the mount favours one tool. The table gives medians and
# the ratios against the 16-thread loop and the keeping loop, and the requests per file delayfs
# served to the loops and to the companion (medians; "-" on sshfs, which does not count them).
#
# Usage: bench/network.sh [BUILD_DIR] [REPEATS] [FILES]; NETWORK_BENCH_DELAYS ("0 100 500")
# picks the delays in microseconds; NETWORK_BENCH_FS_OPTIONS gives delayfs options (e.g.
# "--threads=10 --no-inodes": a server with 10 slots and no inode numbers); NETWORK_BENCH_JOBS
# gives the companion's "cli" runs a --jobs of their own instead of its default;
# NETWORK_BENCH_TOOLS picks the tools (default "loop1 loop16 keep16 cli cli1"). Needs /dev/fuse
# and fusermount3 (and sshfs and sshd for NETWORK_BENCH_FS=sshfs); skips where FUSE cannot be
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
fs=${NETWORK_BENCH_FS:-delayfs}
case $fs in
  delayfs) [ -x "$delayfs" ] || skip "$delayfs is not built (fuse3 not found: install libfuse3-dev and fuse3)" ;;
  sshfs)
    command -v sshfs >/dev/null || skip "no sshfs (Debian package sshfs)"
    [ -x /usr/sbin/sshd ] || skip "no sshd (Debian package openssh-server)" ;;
  *) echo "network.sh: NETWORK_BENCH_FS is delayfs or sshfs, not $fs" >&2; exit 2 ;;
esac
[ -c /dev/fuse ] || skip "no /dev/fuse here"
command -v fusermount3 >/dev/null || skip "no fusermount3 (Debian package fuse3)"

work=/dev/shm/pellatrix-network-$$
backing=$work/backing
mnt=$work/mnt
fspid=
sshdpid=
mounted() { awk -v m="$mnt" '$5 == m {found = 1} END {exit !found}' /proc/self/mountinfo; }
unmount() {
  [ -n "$fspid" ] || return 0
  # A busy mount (a tool still running after a signal) is detached lazily rather than left.
  fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" 2>/dev/null || true
  wait "$fspid" 2>/dev/null || true
  fspid=
}
cleanup() {
  unmount
  [ -z "$sshdpid" ] || { kill "$sshdpid" 2>/dev/null; wait "$sshdpid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mkdir -p "$mnt"

# A private sshd on a free port of loopback, its own host key and one key of ours allowed: no
# system configuration is read or changed.
start_sshd() {
  local port
  ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
  cp "$work/user_key.pub" "$work/authorized_keys"
  # sshd started by root wants its privilege separation folder (its package's service makes it).
  [ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
  for port in $(seq 22220 22299); do
    /usr/sbin/sshd -D -e -f /dev/null -p "$port" -o ListenAddress=127.0.0.1 -h "$work/host_key" \
      -o AuthorizedKeysFile="$work/authorized_keys" -o StrictModes=no -o PidFile=none \
      -o PermitRootLogin=prohibit-password -o UsePAM=no -o "Subsystem=sftp internal-sftp" \
      2>"$work/sshd.err" &
    sshdpid=$!
    sleep 0.3
    kill -0 "$sshdpid" 2>/dev/null && { sshport=$port; return 0; }
    sshdpid=
  done
  skip "cannot start sshd ($(tr '\n' ' ' <"$work/sshd.err"))"
}

mount_at() {  # delay in microseconds (delayfs), or anything (sshfs)
  rm -rf "$backing"; mkdir -p "$backing"
  if [ "$fs" = sshfs ]; then
    [ -n "$sshdpid" ] || start_sshd
    sshfs -f -o "ssh_command=ssh -i $work/user_key -p $sshport -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR" \
      "$(id -un)@127.0.0.1:$backing" "$mnt" 2>"$work/delayfs.err" &
  else
    # shellcheck disable=SC2086  # the options are words of their own
    "$delayfs" ${NETWORK_BENCH_FS_OPTIONS:-} "$1" "$backing" "$mnt" 2>"$work/delayfs.err" &
  fi
  fspid=$!
  for ((i = 0; i < 50; i++)); do
    mounted && return 0
    kill -0 "$fspid" 2>/dev/null || break
    sleep 0.1
  done
  fspid=
  skip "cannot mount $fs at $mnt ($(tr '\n' ' ' <"$work/delayfs.err"))"
}

make_list() {  # root list: the FILES paths under root, one a line
  awk -v r="$1" -v n="$files" -v f="$folders" \
    'BEGIN {for (i = 0; i < n; i++) printf "%s/d%03d/f%07d.txt\n", r, i % f, i}' >"$2"
}

# The requests delayfs served since it was last asked (it tells them on USR1 and starts again).
requests() {
  local before
  [ "$fs" = delayfs ] || { echo 0; return; }
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

read -r -a tools <<<"${NETWORK_BENCH_TOOLS:-loop1 loop16 keep16 cli cli1}"
has() { [[ " ${tools[*]} " == *" $1 "* ]]; }
has loop16 || { echo "network.sh: NETWORK_BENCH_TOOLS must name loop16, the baseline" >&2; exit 2; }
delays=${NETWORK_BENCH_DELAYS:-0 100 500}
[ "$fs" = delayfs ] || delays=${NETWORK_BENCH_DELAYS:-sshfs}
state_of() { [ "${NETWORK_BENCH_STATE:-share}" = local ] && echo "$work/state" || echo "$mnt/state"; }
header=(delay_us work files)
for tool in "${tools[@]}"; do header+=("${tool}_ms"); done
for tool in "${tools[@]}"; do [ "$tool" = loop16 ] || header+=("$tool/loop16"); done
has keep16 && has cli && header+=(cli/keep16)
for tool in loop16 keep16 cli; do has $tool && header+=("req_$tool"); done
row() { printf '%-8s %-8s %6s' "$1" "$2" "$3"; shift 3; printf ' %11s' "$@"; echo; }
row "${header[@]}"
for delay in $delays; do
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
        state_folder=$(state_of)
        case $tool in
          loop1) cmd=("$floor" "${flag[@]}" "$mnt/$name.list" "$text") ;;
          loop16) cmd=("$floor" "${flag[@]}" --threads "$threads" "$mnt/$name.list" "$text") ;;
          keep16) cmd=("$floor" --keep "$mnt/$name.kept" --threads "$threads" "$mnt/$name.list" "$text") ;;
          cli) cmd=(env XDG_STATE_HOME="$state_folder" "$cli" ${NETWORK_BENCH_JOBS:+--jobs="$NETWORK_BENCH_JOBS"}
                    --text "$text" "$mnt/$name.list") ;;
          cli1) cmd=(env XDG_STATE_HOME="$state_folder" "$cli" --jobs=1 --text "$text" "$mnt/$name.list") ;;
          *) echo "network.sh: no tool $tool (loop1 loop16 keep16 cli cli1)" >&2; exit 2 ;;
        esac
        requests >/dev/null
        timed "$tool" "${cmd[@]}" >>"$work/t.$tool"
        requests >>"$work/q.$tool"
      done
    done
    perfile() { awk -v n="$(median <"$1")" -v f="$files" 'BEGIN {printf "%.1f", n / f}'; }
    many=$(median <"$work/t.loop16")
    cells=()
    for tool in "${tools[@]}"; do cells+=("$(median <"$work/t.$tool")"); done
    for tool in "${tools[@]}"; do
      [ "$tool" = loop16 ] || cells+=("$(ratio "$(median <"$work/t.$tool")" "$many")")
    done
    has keep16 && has cli && cells+=("$(ratio "$(median <"$work/t.cli")" "$(median <"$work/t.keep16")")")
    for tool in loop16 keep16 cli; do
      if has $tool; then
        [ "$fs" = delayfs ] && cells+=("$(perfile "$work/q.$tool")") || cells+=(-)
      fi
    done
    row "$delay" $state "$files" "${cells[@]}"
  done
  unmount
done
