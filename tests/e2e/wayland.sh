#!/usr/bin/env bash
# The real window on Wayland: under a headless weston of its own, the program creates its window
# with the caption Pellatrix at a fixed size (minimum = maximum = 536 x 483), answers the
# compositor's first configure and draws into it. Read from the program's own protocol log
# (WAYLAND_DEBUG). Skips (77) where weston or Qt's Wayland platform is missing or cannot start.
# Usage: wayland.sh PROGRAM
set -euo pipefail

program=$1
work=$(mktemp -d /tmp/pellatrix-wayland.XXXXXX)
chmod 700 "$work"  # the compositor's runtime folder must be private
weston_pid=""
app_pid=""

cleanup() {
    set +e
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    [ -n "$weston_pid" ] && kill "$weston_pid" 2>/dev/null && wait "$weston_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

skip() { echo "wayland: SKIPPED: $*"; exit 77; }
fail() {
    echo "wayland: FAILED: $*" >&2
    [ -f "$work/program.log" ] && grep -v '^\[' "$work/program.log" | sed 's/^/program: /' >&2
    exit 1
}

command -v weston >/dev/null || skip "weston is not installed"
export XDG_RUNTIME_DIR="$work"
unset DISPLAY WAYLAND_SOCKET
weston --backend=headless-backend.so --socket=pellatrix-wayland --width=1024 --height=768 \
    --idle-time=0 >"$work/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
    [ -S "$work/pellatrix-wayland" ] && break
    kill -0 "$weston_pid" 2>/dev/null || skip "weston did not start: $(tail -n3 "$work/weston.log")"
    sleep 0.1
done
[ -S "$work/pellatrix-wayland" ] || skip "weston made no socket"

mkdir -p "$work/home"
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" WAYLAND_DEBUG=1 \
    WAYLAND_DISPLAY=pellatrix-wayland QT_QPA_PLATFORM=wayland \
    "$program" >"$work/program.log" 2>&1 &
app_pid=$!

# Drawn: a buffer attached after the window acknowledged its configure.
drawn() { awk '/xdg_surface@[0-9]+\.ack_configure/ { a = 1 } a && /wl_surface@[0-9]+\.attach\(wl_buffer/ { f = 1 } END { exit !f }' "$work/program.log"; }
for _ in $(seq 150); do
    drawn && break
    if ! kill -0 "$app_pid" 2>/dev/null; then
        grep -q 'Could not load the Qt platform plugin "wayland"' "$work/program.log" &&
            skip "Qt's Wayland platform is not installed"
        fail "the program ended"
    fi
    sleep 0.1
done
drawn || fail "the window was never drawn after the compositor's configure"
grep -q 'xdg_toplevel@[0-9]*\.set_title("Pellatrix")' "$work/program.log" || fail "no window titled Pellatrix"
grep -q 'xdg_toplevel@[0-9]*\.set_min_size(536, 483)' "$work/program.log" &&
    grep -q 'xdg_toplevel@[0-9]*\.set_max_size(536, 483)' "$work/program.log" ||
    fail "the window is not of fixed size 536 x 483"
kill -0 "$app_pid" 2>/dev/null || fail "the program ended after showing"
# Nothing but the protocol log on standard error: no warning of Qt or of the program.
noise=$(grep -v '^\[\|^ *-> ' "$work/program.log" || true)
[ -z "$noise" ] || fail "standard error holds: $(printf '%s' "$noise" | head -c 600)"
echo "wayland: passed"
