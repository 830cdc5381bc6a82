#!/usr/bin/env bash
# The real window on Wayland: under a weston of its own (its X11 back end, on an Xvfb of its own,
# so that keys reach it), the program creates its window with the caption Pellatrix at no less
# than its size (536 x 483), answers the compositor's first configure and draws into it. Then
# weston's maximise key (Super+Shift+M) makes the compositor require the maximised state: the
# window takes the size it is given, returns to its own at once and keeps running, and the list
# named on its command line is still there (Tab to Start, Return: the files are created). The
# "Done." box survives the same key.
# Read from the program's own protocol log (WAYLAND_DEBUG). Skips (77) where weston or Qt's
# Wayland platform is missing or cannot start.
# Usage: wayland.sh PROGRAM
set -euo pipefail

program=$1
work=$(mktemp -d /tmp/pellatrix-wayland.XXXXXX)
chmod 700 "$work"  # the compositor's runtime folder must be private
weston_pid=""
app_pid=""
xvfb_pid=""

cleanup() {
    set +e
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    [ -n "$weston_pid" ] && kill "$weston_pid" 2>/dev/null && wait "$weston_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
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
unset WAYLAND_SOCKET
exec 3>"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display number"
export DISPLAY=":$(head -n1 "$work/display")"
weston --backend=x11-backend.so --socket=pellatrix-wayland --width=1024 --height=768 \
    --idle-time=0 >"$work/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
    [ -S "$work/pellatrix-wayland" ] && break
    kill -0 "$weston_pid" 2>/dev/null || skip "weston did not start: $(tail -n3 "$work/weston.log")"
    sleep 0.1
done
[ -S "$work/pellatrix-wayland" ] || skip "weston made no socket"
# Keys typed on the X server go to the window under the pointer: weston's output window.
output=""
for _ in $(seq 100); do
    output=$(xdotool search --classname '^weston' 2>/dev/null | head -n1 || true)
    [ -n "$output" ] && break
    sleep 0.1
done
[ -n "$output" ] || skip "weston showed no output window on the X server"
xdotool mousemove --window "$output" 5 5

# A list file of two files, one in a folder to be made.
mkdir -p "$work/lists"
printf '%s\n' "$work/out/a.txt>alpha" "$work/out/sub/b.txt>beta" >"$work/lists/two.txt"
mkdir -p "$work/home"
# On about one start in a hundred the program opens its home page: an opener that succeeds keeps
# that quiet (a failing one shows its box first).
mkdir -p "$work/opener-ok"
printf '#!/bin/sh\nexit 0\n' >"$work/opener-ok/xdg-open"
chmod +x "$work/opener-ok/xdg-open"
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" WAYLAND_DEBUG=1 PATH="$work/opener-ok:$PATH" \
    WAYLAND_DISPLAY=pellatrix-wayland QT_QPA_PLATFORM=wayland \
    "$program" "$work/lists/two.txt" >"$work/program.log" 2>&1 &
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
# The size limits may follow the first frame in a commit of their own.
for _ in $(seq 50); do
    grep -q 'xdg_toplevel@[0-9]*\.set_min_size(536, 483)' "$work/program.log" && break
    sleep 0.1
done
grep -q 'xdg_toplevel@[0-9]*\.set_min_size(536, 483)' "$work/program.log" ||
    fail "the window does not ask for its size 536 x 483 at least"
normal=$(sed -n 's/.*xdg_surface@[0-9]*\.set_window_geometry(0, 0, \([0-9]*, [0-9]*\)).*/\1/p' \
    "$work/program.log" | tail -n1)
[ -n "$normal" ] || fail "the window set no geometry"

# Weston's maximise key: the compositor requires the maximised size, the window takes it (a
# window that answered with its own size was cut off for a protocol error), then asks to be
# unmaximised and is back at its own size.
xdotool key super+shift+m
geometries() { sed -n 's/.*xdg_surface@[0-9]*\.set_window_geometry(0, 0, \([0-9]*, [0-9]*\)).*/\1/p' "$work/program.log"; }
back=false
for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended on weston's maximise key"
    if geometries | grep -vqx "$normal" && [ "$(geometries | tail -n1)" = "$normal" ]; then
        back=true
        break
    fi
    sleep 0.1
done
$back || fail "maximised, the window is not back at its size ($normal): $(geometries | paste -sd ' ')"
grep -q 'xdg_toplevel@[0-9]*\.unset_maximized()' "$work/program.log" ||
    fail "the window did not ask to leave the maximised state"
kill -0 "$app_pid" 2>/dev/null || fail "the program ended after the maximise"

# The list survived: Tab from the list to Start (text box, two add buttons, Start), Return.
xdotool key Tab Tab Tab Tab Return
for _ in $(seq 100); do
    [ -f "$work/out/sub/b.txt" ] && break
    sleep 0.1
done
[ "$(cat "$work/out/a.txt" 2>/dev/null)" = alpha ] && [ "$(cat "$work/out/sub/b.txt" 2>/dev/null)" = beta ] ||
    fail "the list named on the command line was not run after the maximise"
# The "Done." box is a second window of the program; Return closes it.
for _ in $(seq 50); do
    [ "$(grep -c 'xdg_toplevel@[0-9]*\.set_title("Pellatrix")' "$work/program.log")" -ge 2 ] && break
    sleep 0.1
done
[ "$(grep -c 'xdg_toplevel@[0-9]*\.set_title("Pellatrix")' "$work/program.log")" -ge 2 ] ||
    fail "no box at the end of the run"
# The box is of fixed size too, and survives the maximise key as the window does: pressed once
# the box has drawn its first frame after its own configure.
box_drawn() { awk '/set_title\("Pellatrix"\)/ { t++ } t >= 2 && /xdg_surface@[0-9]+\.ack_configure/ { a = 1 } a && /wl_surface@[0-9]+\.attach\(wl_buffer/ { f = 1 } END { exit !f }' "$work/program.log"; }
for _ in $(seq 50); do
    box_drawn && break
    sleep 0.1
done
box_drawn || fail "the box at the end of the run was never drawn"
xdotool key super+shift+m
for _ in $(seq 10); do
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended on weston's maximise key over its box"
    sleep 0.1
done
xdotool key Return
kill -0 "$app_pid" 2>/dev/null || fail "the program ended after showing"
# Nothing but the protocol log on standard error: no warning of Qt or of the program.
noise=$(grep -v '^\[\|^ *-> ' "$work/program.log" || true)
[ -z "$noise" ] || fail "standard error holds: $(printf '%s' "$noise" | head -c 600)"
echo "wayland: passed"
