#!/usr/bin/env bash
# The main use of Pellatrix, end to end: the real built program on an X server of its own,
# driven only by real input events from outside (xdotool). Two sessions share one settings
# folder:
#   1. type a two-line fixed text, open both help boxes, load the samples (answer No to the
#      folder question), start the run, see its closing box, check every created file byte
#      for byte;
#   2. restart, see the fixed text restored, load the samples, remove the per-line sample from
#      the list with the Delete key, run again and find the restored text in every file.
# A third session adds two list files named with "<i>" and "(i)" that then vanish, and compares
# their error reports. The window's icon (_NET_WM_ICON) and the window manager hints of the window
# and of every box (_MOTIF_WM_HINTS: no maximise, no resize) are checked on the X server's side.
# A fourth session runs under openbox and checks what it allows the window and a box
# (_NET_WM_ALLOWED_ACTIONS: no maximise, no resize), that a title bar double click maximises
# nothing and that the window made full screen comes straight back.
# A fifth, under openbox and again at the end under icewm: another running copy holds the
# settings lock while the user types at a human pace (every key reaches the text box, the
# keyboard stays there, the notice is drawn inside the window and no other window appears) and
# while the window is closed (it stays open until the lock is free, then stores the text and
# ends).
# A sixth starts as `pellatrix LIST`, with an opener that finds no program (exit 3), at a time of
# day that opens the home page: a box says that it could not be opened, Start runs the named
# list, and the folder that could not be opened is said in a box too.
# A seventh starts as `pellatrix -reverse -- -style c.txt gone.txt` in a folder holding list
# files of the first three names: a box names the missing one at once, the first row selected
# with the keyboard reads 4.5:1 in every pixel of its fill, and Start runs all three.
# Ctrl+C in a box copies its text byte for byte; standard error holds no warning in any session.
# Usage: main_use.sh PROGRAM CLIPBOARD_TOOL GRAB_TOOL
# Every wait is bounded; every process started here is ended on exit. On failure a screenshot
# is left in the current folder as e2e-failure.png (e2e-failure.xwd without ImageMagick).
set -euo pipefail

program=$1
clipboard_tool=$2
grab_tool=$3
bindir=$(dirname "$program")

work=$(mktemp -d /tmp/pellatrix-e2e.XXXXXX)
xvfb_pid=""
wm_pid=""
app_pid=""
main_win=""

# libfaketime keeps a shared memory object and a semaphore per process in /dev/shm, removed
# only by a process that ends by itself: the program started with it is ended by a signal.
faked_pid=""
forget_faked_clock() {
    [ -n "$faked_pid" ] || return 0
    rm -f "/dev/shm/faketime_shm_$faked_pid" "/dev/shm/sem.faketime_sem_$faked_pid"
    faked_pid=""
}

cleanup() {
    set +e
    if [ -n "${holder:-}" ]; then
        kill "$holder" 2>/dev/null
        wait "$holder" 2>/dev/null
    fi
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    forget_faked_clock
    if [ -n "$wm_pid" ]; then
        kill "$wm_pid" 2>/dev/null
        wait "$wm_pid" 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

log() { echo "e2e: $*"; }

fail() {
    echo "e2e: FAILED: $*" >&2
    if [ -n "${DISPLAY:-}" ]; then
        xwd -root -silent >e2e-failure.xwd 2>/dev/null || true
        if command -v convert >/dev/null; then
            convert e2e-failure.xwd e2e-failure.png 2>/dev/null && rm -f e2e-failure.xwd
        fi
    fi
    [ -f "$work/program.log" ] && sed 's/^/program: /' "$work/program.log" >&2
    exit 1
}

# --- An X server of our own, on the first free display number --------------------------------
exec 3>"$work/display"
# -noreset: the server must not reset while the program restarts between the two sessions.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display number"
export DISPLAY=":$(head -n1 "$work/display")"
export QT_QPA_PLATFORM=xcb
unset XDG_CURRENT_DESKTOP QT_QPA_PLATFORMTHEME
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
log "display $DISPLAY"

# --- The program in a folder of its own, with a home folder of its own ----------------------
# The program finds its samples beside itself, so the copy gets its own Samples folder; the
# samples name ~/pellatrix-samples/..., so a home folder of this run receives their files.
home="$work/home"
out="$home/pellatrix-samples"
prog="$work/prog"
mkdir -p "$prog/Samples" "$work/config" "$home"
cp "$program" "$prog/pellatrix"
for extra in HAND-M.CUR drag.ico; do
    [ -f "$bindir/$extra" ] && cp "$bindir/$extra" "$prog/"
done
for sample in "$bindir"/Samples/*; do
    grep -q '^~/pellatrix-samples/' "$sample" || fail "$sample names no path under ~/pellatrix-samples/"
    cp "$sample" "$prog/Samples/"
done
[ -f "$prog/Samples/sample1.txt" ] && [ -f "$prog/Samples/sample2.txt" ] ||
    fail "the samples sample1.txt and sample2.txt are missing beside $program"

# The list gets the samples sorted by name, case ignored (as ls sorts these two names).
mapfile -t sample_order < <(LC_ALL=C ls "$prog/Samples")
[ "${#sample_order[@]}" -eq 2 ] || fail "expected two samples, found: ${sample_order[*]}"
sample1_first=false
[ "${sample_order[0]}" = sample1.txt ] && sample1_first=true
log "samples in listing order: ${sample_order[*]}"

# --- Driving the window ----------------------------------------------------------------------
# Centres of the controls in window coordinates (twips / 15, frames' offsets included).
PB1=(268 41)   # What should text file look like?
PB2=(268 426)  # Start Creating Files
PB5=(436 372)  # How to add Dynamic Text Content
PB7=(400 300)  # Load Sample/Example Files
TEXT1=(188 372)

windows() { xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null || true; }

# On about one start in a hundred the program opens its home page: an opener that succeeds
# keeps that quiet wherever a session does not choose the start's time of day itself.
mkdir -p "$work/opener-ok"
printf '#!/bin/sh\nexit 0\n' >"$work/opener-ok/xdg-open"
chmod +x "$work/opener-ok/xdg-open"
launcher=(env)

start_program() { # [list file...]
    : >"$work/program.log"
    HOME="$home" XDG_CONFIG_HOME="${config:-$work/config}" PATH="${program_path:-$work/opener-ok:$PATH}" \
        "${launcher[@]}" "$prog/pellatrix" "$@" >>"$work/program.log" 2>&1 &
    app_pid=$!
    for _ in $(seq 150); do
        main_win=$(windows | head -n1)
        [ -n "$main_win" ] && break
        kill -0 "$app_pid" 2>/dev/null || fail "the program ended at start-up"
        sleep 0.1
    done
    [ -n "$main_win" ] || fail "no window of the program appeared"
    [ "$(xdotool getwindowname "$main_win")" = Pellatrix ] || fail "window caption is not Pellatrix"
    sleep 0.5  # let the first paint and the settings read finish
}

stop_program() {
    # Closing ends the process at once and saves nothing; a terminate signal does the same.
    kill "$app_pid"
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
    expect_quiet
}

# Nothing on standard error from start to close: Qt's warnings included.
expect_quiet() {
    [ ! -s "$work/program.log" ] || fail "the program wrote to standard error: $(head -c 600 "$work/program.log")"
}

# Ctrl+C in the box that has the keyboard copies its text exactly as shown.
expect_copied() { # what text
    local copied
    xdotool key ctrl+c
    for _ in $(seq 50); do
        copied=$(clipboard; echo .)
        copied=${copied%.}
        [ "$copied" = "$2" ] && break
        sleep 0.1
    done
    [ "$copied" = "$2" ] || fail "$1: Ctrl+C copied '$copied', the box shows '$2'"
}

click() { # x y
    xdotool mousemove --window "$main_win" --sync "$1" "$2" click 1
}

# Waits for a box over the window and prints its id.
wait_box() {
    local box=""
    for _ in $(seq 100); do
        box=$(windows | grep -vx "$main_win" | head -n1 || true)
        [ -n "$box" ] && break
        sleep 0.1
    done
    [ -n "$box" ] || fail "no message box appeared ($1)"
    timeout 5 xdotool windowfocus --sync "$box" 2>/dev/null || xdotool windowfocus "$box"
    sleep 0.2
    echo "$box"
}

wait_box_gone() { # box what
    for _ in $(seq 100); do
        windows | grep -qx "$1" || return 0
        sleep 0.1
    done
    fail "the box did not close ($2)"
}

wait_box_closed() {
    local left w
    for _ in $(seq 100); do
        [ -z "$(windows | grep -vx "$main_win" || true)" ] && return 0
        sleep 0.1
    done
    left=$(for w in $(windows | grep -vx "$main_win"); do xdotool getwindowname "$w"; done | tr '\n' ' ')
    fail "the message box did not close ($1); open beside the window: $left"
}

# Presses keys in a box shown while the window starts: focused again first, since the window
# manager may hand the focus to the main window as it maps it (seen under load).
press_in_box() { # box key...
    local box=$1
    shift
    timeout 5 xdotool windowfocus --sync "$box" 2>/dev/null || xdotool windowfocus "$box"
    xdotool key "$@"
}

clipboard() { timeout 10 "$clipboard_tool" 2>/dev/null || true; }

# Checks the box that is open: an ordinary box carries the program's title, the error report
# "Application Error". Qt's boxes offer their text to no outside tool on this platform, so the
# text itself is checked by the handlers' own tests; here the box's kind and size tell them
# apart (the help box has a dozen lines, a question or "Done." two or three).
expect_box() { # what box min_height max_height
    local title height
    title=$(xdotool getwindowname "$2")
    [ "$title" = "$APP_TITLE" ] || fail "$1: a box titled '$title' appeared"
    expect_fixed "$1" "$2"
    height=$(xdotool getwindowgeometry --shell "$2" | sed -n 's/^HEIGHT=//p')
    [ "$height" -ge "$3" ] && [ "$height" -le "$4" ] ||
        fail "$1: box height $height is not within $3..$4"
}

# A window of fixed size tells the window manager so: _MOTIF_WM_HINTS lists its functions (flag
# 1) and decorations (flag 2); the functions hold neither "all but" (1), resize (2) nor maximise
# (16), the decorations neither "all but" (1), a resize handle (4) nor a maximise button (64).
expect_fixed() { # what window
    local hints flags functions decorations
    hints=$(xprop -id "$2" _MOTIF_WM_HINTS | sed -n 's/^_MOTIF_WM_HINTS([^)]*) = //p')
    IFS=', ' read -r flags functions decorations _ <<<"$hints"
    [ -n "$decorations" ] && (((flags & 3) == 3)) && (((functions & 19) == 0)) &&
        (((decorations & 69) == 0)) ||
        fail "$1 offers resizing or maximising: _MOTIF_WM_HINTS = '$hints'"
}

# What a window manager made of the hints: it lists the actions it allows in
# _NET_WM_ALLOWED_ACTIONS, and neither resizing nor maximising may be among them. Openbox still
# draws its maximise button, inert, between the minimise and close buttons of such a window (its
# title layout keeps a disabled button's place; the default theme draws it like an enabled
# one), so what the user can do is checked here, not the picture.
expect_managed_fixed() { # what window
    local actions=""
    for _ in $(seq 50); do
        actions=$(xprop -id "$2" _NET_WM_ALLOWED_ACTIONS)
        [[ $actions == *_NET_WM_ACTION_CLOSE* ]] && break
        sleep 0.1
    done
    [[ $actions == *_NET_WM_ACTION_MOVE* && $actions == *_NET_WM_ACTION_CLOSE* ]] ||
        fail "$1 is not managed by the window manager: $actions"
    [[ $actions != *_NET_WM_ACTION_RESIZE* && $actions != *_NET_WM_ACTION_MAXIMIZE* ]] ||
        fail "$1 can be resized or maximised: $actions"
}

expect_file() { # path content
    [ -f "$1" ] || fail "missing created file $1"
    cmp -s "$1" <(printf '%s' "$2") || fail "$1 holds '$(cat "$1")', expected '$2'"
}

# Waits until the colour (rrggbb) shows within the window's rectangle x y w h.
expect_colour_in() { # window x y w h colour what
    for _ in $(seq 50); do
        "$grab_tool" "$1" 2>/dev/null | python3 -c '
import sys
data = sys.stdin.buffer.read()
parts = data.split(b"\n", 3)
width, height = map(int, parts[1].split())
pixels = parts[3]
x, y, w, h = map(int, sys.argv[1:5])
want = bytes.fromhex(sys.argv[5])
sys.exit(0 if any(pixels[3 * (row * width + col):3 * (row * width + col) + 3] == want
                  for row in range(y, min(y + h, height)) for col in range(x, min(x + w, width)))
         else 1)' "$2" "$3" "$4" "$5" "$6" && return 0
        sleep 0.1
    done
    fail "$7: no #$6 within $4x$5+$2+$3"
}

# The list's selected row as drawn: every pixel of its fill, the outline included, reads 4.5:1 at
# least against the text's fullest pixel (antialiased, it never quite has the text's colour).
expect_selection_readable() { # what
    local verdict
    # Waits for the selection to be drawn (the keys that made it may still be on their way).
    for _ in $(seq 30); do
        verdict=$(selection_verdict 2>&1) || true
        [ "$verdict" = "no selected row drawn" ] || break
        sleep 0.1
    done
    verdict=$(selection_verdict) || fail "$1: the selected row reads $verdict"
    log "$1: the selected row reads at least $verdict"
}

selection_verdict() {
    "$grab_tool" "$main_win" | python3 -c '
import sys
data = sys.stdin.buffer.read()
parts = data.split(b"\n", 3)
width, height = map(int, parts[1].split())
pixels = parts[3]
def at(x, y):
    i = 3 * (y * width + x)
    return tuple(pixels[i:i + 3])
def luminance(c):
    f = lambda v: v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = (f(v / 255) for v in c)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b
def contrast(a, b):
    la, lb = luminance(a), luminance(b)
    return (max(la, lb) + 0.05) / (min(la, lb) + 0.05)
coloured = lambda c: max(c) - min(c) > 30
# The list lies at 8,76 (520 x 169); its one column ends at 475.
rows = [y for y in range(76, 245) if coloured(at(400, y))]
if not rows:
    sys.exit("no selected row drawn")
top, bottom = rows[0], rows[-1]
left = next(x for x in range(8, 60) if coloured(at(x, (top + bottom) // 2)))
flat = at(470, (top + bottom) // 2)
text_pixels = [(x, y) for y in range(top, bottom + 1) for x in range(left, 470)
               if contrast(at(x, y), flat) > 2]
text = max((at(x, y) for x, y in text_pixels), key=lambda c: contrast(c, flat))
text_end = max(x for x, _ in text_pixels) + 8
fill = [at(x, y) for y in range(top, bottom + 1) for x in [left] + list(range(text_end, 476))]
worst = min(fill, key=lambda c: contrast(c, text))
print("%.2f:1, #%02x%02x%02x on #%02x%02x%02x, rows %d-%d" % ((contrast(worst, text),) + worst + text + (top, bottom)))
sys.exit(0 if contrast(worst, text) >= 4.5 else 1)'
}

APP_TITLE=Pellatrix
FIXED_LINE1="Fixed text, e2e"
FIXED_LINE2="second line > not content"
FIXED="$FIXED_LINE1"$'\n'"$FIXED_LINE2"

# --- Session 1 ---------------------------------------------------------------------------------
log "session 1"
start_program

# The window carries its icon (the title bar and the task bar read _NET_WM_ICON): a width, a
# height and the pixels, so far more than a few numbers.
icon_numbers=$(xprop -id "$main_win" _NET_WM_ICON | tr ',' '\n' | wc -l)
[ "$icon_numbers" -gt 64 ] || fail "the window has no icon: $(xprop -id "$main_win" _NET_WM_ICON)"
expect_fixed "the main window" "$main_win"

click "${TEXT1[@]}"
xdotool type --delay 15 "$FIXED_LINE1"
xdotool key Return
xdotool type --delay 15 "$FIXED_LINE2"

click "${PB1[@]}"
box=$(wait_box "list-file help")
expect_box "list-file help" "$box" 180 400
xdotool key Return
wait_box_gone "$box" "list-file help"
box=$(wait_box "view a sample question")
expect_box "view a sample question" "$box" 40 140
xdotool key Escape
wait_box_closed "view a sample question"

click "${PB5[@]}"
box=$(wait_box "per-line content help")
expect_box "per-line content help" "$box" 80 300
expect_copied "per-line content help" "If you would like to create files and put different text in each file you can create a text file that looks like this:

/tmp/test/newfolder1/out.txt>first
/tmp/test/newfolder2/this.txt>second
/tmp/test/newfolder3/junk.jnk>third"
xdotool key Return
wait_box_closed "per-line content help"

click "${PB7[@]}"
box=$(wait_box "samples folder question")
expect_box "samples folder question" "$box" 40 160
xdotool key Escape
wait_box_closed "samples folder question"

click "${PB2[@]}"
box=$(wait_box "end of run")
expect_box "end of run" "$box" 40 140
# Under "Done.", what the run did: six files in ~/pellatrix-samples and its three folders.
expect_copied "end of run" "Done.
6 files created, 0 files replaced, 4 folders made, 0 failures"
xdotool key Return
wait_box_closed "end of run"

# One ">" in the run switches it to per-line content. The path-only sample takes the fixed
# text when it comes first and is written empty when it follows the per-line sample.
sample1_content=""
$sample1_first && sample1_content="$FIXED"
expect_file "$out/newfolder1/first.txt" "first"
expect_file "$out/newfolder2/second.txt" "second"
expect_file "$out/newfolder3/third.txt" "third"
for f in newfolder1/out.txt newfolder2/this.txt newfolder3/junk.jnk; do
    expect_file "$out/$f" "$sample1_content"
done
log "session 1 files as expected"

# Every keystroke was stored at once; the store has the last one before the restart.
stored=false
for _ in $(seq 50); do
    grep -q 'not content' "$work/config/Quennet/Pellatrix.conf" 2>/dev/null && stored=true && break
    sleep 0.1
done
$stored || fail "the fixed text never reached the settings store"
stop_program

# --- Session 2 ---------------------------------------------------------------------------------
log "session 2"
rm -rf "$out"
start_program

click "${TEXT1[@]}"
xdotool key ctrl+a ctrl+c
sleep 0.2
restored=$(clipboard)
[ "$restored" = "$FIXED" ] || fail "fixed text not restored: '$restored'"

click "${PB7[@]}"
box=$(wait_box "samples folder question, session 2")
expect_box "samples folder question, session 2" "$box" 40 160
xdotool key Escape
wait_box_closed "samples folder question, session 2"

# Remove the per-line sample: click the first row (just below the header), step down to the
# second with the arrow key when the per-line sample is there, and press Delete.
click 100 102
$sample1_first && xdotool key Down
xdotool key Delete
sleep 0.3

click "${PB2[@]}"
box=$(wait_box "end of run, session 2")
expect_box "end of run, session 2" "$box" 40 140
xdotool key Return
wait_box_closed "end of run, session 2"

for f in newfolder1/out.txt newfolder2/this.txt newfolder3/junk.jnk; do
    expect_file "$out/$f" "$FIXED"
done
[ ! -e "$out/newfolder1/first.txt" ] || fail "the removed per-line sample was still run"
log "session 2 files as expected"
stop_program

# --- Session 3: names that look like markup ------------------------------------------------------
# Two list files whose names differ only in "<i>" and "(i)" vanish after being added: each gives
# an error report naming it, and both reports must be laid out alike (plain text keeps every
# line break; read as formatting, the "<i>" one would lose them and its italics would change
# the size). A list line cannot name such a file: ">" starts a line's own text.
log "session 3"
lists="$work/lists"
mkdir -p "$lists"
start_program
PB4=(136 264)  # Add Text File(s)
for name in "<i>gone.txt" "(i)gone.txt"; do
    : >"$lists/$name"
    click "${PB4[@]}"
    wait_box "open-file dialog for $name" >/dev/null
    xdotool type --delay 10 "$lists/$name"
    sleep 0.3
    xdotool key Return
    wait_box_closed "open-file dialog for $name"
done
rm -f "$lists"/*

click "${PB2[@]}"
APP_TITLE="Application Error"
sizes=()
for name in "<i>" "(i)"; do
    box=$(wait_box "error report for $name")
    expect_box "error report for $name" "$box" 60 400
    sizes+=("$(xdotool getwindowgeometry "$box" | sed -n 's/^ *Geometry: //p')")
    xdotool key Return
    wait_box_gone "$box" "error report for $name"
done
[ "${sizes[0]}" = "${sizes[1]}" ] ||
    fail "the report for a name holding <i> is laid out as ${sizes[0]}, the plain one as ${sizes[1]}"
APP_TITLE=Pellatrix
box=$(wait_box "end of run, session 3")
expect_box "end of run, session 3" "$box" 40 140
xdotool key Return
wait_box_closed "end of run, session 3"
log "session 3 reports alike (${sizes[0]})"
stop_program

# --- Session 4: under a window manager ---------------------------------------------------------
# Openbox, in a home folder of this run, decides what the title bar offers from the hints.
log "session 4, under openbox"
command -v openbox >/dev/null || fail "openbox is missing (scripts/setup.sh installs it)"
mkdir -p "$work/wm/openbox"
# Openbox's own configuration, with a key that makes the focused window full screen (openbox
# offers full screen to every normal window, whatever its hints).
sed 's|<keyboard>|<keyboard><keybind key="W-F11"><action name="ToggleFullscreen"/></keybind>|' \
    /etc/xdg/openbox/rc.xml >"$work/wm/openbox/rc.xml"
HOME="$work/wm" XDG_CONFIG_HOME="$work/wm" openbox --sm-disable >"$work/wm.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    kill -0 "$wm_pid" 2>/dev/null || fail "openbox did not start: $(cat "$work/wm.log")"
    sleep 0.1
done
openbox_check=$(xprop -root _NET_SUPPORTING_WM_CHECK)
start_program
expect_managed_fixed "the main window under openbox" "$main_win"
actions=$(xprop -id "$main_win" _NET_WM_ALLOWED_ACTIONS)
[[ $actions == *_NET_WM_ACTION_MINIMIZE* ]] || fail "the main window cannot be minimised: $actions"
# A double click on the title bar maximises in openbox's default bindings; here it must not.
eval "$(xwininfo -id "$main_win" | sed -n 's/^ *Absolute upper-left \([XY]\): *\(-\?[0-9]*\)$/\1=\2/p')"
xdotool mousemove --sync $((X + 150)) $((Y - 8)) click --repeat 2 --delay 80 1
sleep 0.5
size=$(xwininfo -id "$main_win" | sed -n 's/^ *\(Width\|Height\): //p' | paste -sd x)
[ "$size" = 536x483 ] || fail "a double click on the title bar resized the window to $size"
# Made full screen by the window manager, the window comes back to its size and place.
place=$(xwininfo -id "$main_win" | sed -n 's/^ *Absolute upper-left [XY]: *//p' | paste -sd ,)
xdotool windowactivate --sync "$main_win" 2>/dev/null || true
xdotool key super+F11
sleep 1
size=$(xwininfo -id "$main_win" | sed -n 's/^ *\(Width\|Height\): //p' | paste -sd x)
now=$(xwininfo -id "$main_win" | sed -n 's/^ *Absolute upper-left [XY]: *//p' | paste -sd ,)
state=$(xprop -id "$main_win" _NET_WM_STATE)
[ "$size" = 536x483 ] && [ "$now" = "$place" ] && [[ $state != *FULLSCREEN* ]] ||
    fail "made full screen, the window stays at $now $size ($state), was at $place"
click "${PB1[@]}"
box=$(wait_box "list-file help under openbox")
expect_managed_fixed "the list-file help under openbox" "$box"
xdotool key Return
wait_box_gone "$box" "list-file help under openbox"
box=$(wait_box "view a sample question under openbox")
xdotool key Escape
wait_box_closed "view a sample question under openbox"
stop_program
log "session 4 offers neither resizing nor maximising, and comes back from full screen"

# --- Session 5: another running copy holds the settings lock ----------------------------------
# QLockFile knows a running copy by the live process named in its lock file. Run under openbox
# here and under icewm at the end: icewm activated the notice when it was a window of its own,
# and the keys typed next went to it.
held_lock_session() { # window manager
    log "session 5 under $1, the settings held by another copy"
    config="$work/config5-$1"
    mkdir -p "$config/Quennet"
    # The samples are recorded already (else start-up would report that it cannot record
    # them); no fixed text yet.
    grep -v '^Text1=' "$work/config/Quennet/Pellatrix.conf" >"$config/Quennet/Pellatrix.conf"
    # The other copy: a live process that does nothing until it is killed.
    tail -f /dev/null &
    holder=$!
    printf '%s\ntail\n%s\n' "$holder" "$(hostname)" >"$config/Quennet/Pellatrix.conf.lock"
    start_program
    click "${TEXT1[@]}"
    # A human pace: the first key meets the held lock, the notice appears, the rest go on.
    xdotool type --delay 120 "qwertyuiop"
    # The notice is drawn inside the window (its pale yellow along the top), never a window
    # that a window manager could activate.
    expect_colour_in "$main_win" 0 0 536 80 fff4c4 "the notice inside the window under $1"
    [ -z "$(windows | grep -vx "$main_win" || true)" ] ||
        fail "under $1 the notice is a window of its own: $(windows | paste -sd ' ')"
    [ "$(xdotool getwindowfocus)" = "$main_win" ] ||
        fail "under $1 the keyboard left the window (focus on $(xdotool getwindowfocus))"
    xdotool key ctrl+a ctrl+c
    for _ in $(seq 50); do
        typed=$(clipboard)
        [ "$typed" = qwertyuiop ] && break
        sleep 0.1
    done
    [ "$typed" = qwertyuiop ] ||
        fail "under $1 typed qwertyuiop while the lock was held, the text box holds '$typed'"
    ! grep -q '^Text1=' "$config/Quennet/Pellatrix.conf" 2>/dev/null || fail "stored through a held lock"
    # Closed while still held: the window stays and says why; freed, the text is stored and it
    # ends.
    xdotool key alt+F4
    sleep 2.5
    kill -0 "$app_pid" 2>/dev/null || fail "under $1 closing with the text not stored ended the program"
    windows | grep -qx "$main_win" || fail "under $1 the window closed with the text not stored"
    kill "$holder"
    wait "$holder" 2>/dev/null || true
    holder=""
    rm -f "$config/Quennet/Pellatrix.conf.lock"
    # Waits for the program's end itself, 5 s at most.
    timeout 5 tail --pid="$app_pid" -s 0.05 -f /dev/null || true
    ! kill -0 "$app_pid" 2>/dev/null || fail "under $1 the window did not close once the lock was free"
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
    grep -qx 'Text1=qwertyuiop' "$config/Quennet/Pellatrix.conf" ||
        fail "under $1 the text was not stored: $(cat "$config/Quennet/Pellatrix.conf" 2>/dev/null)"
    expect_quiet
    unset config
    log "session 5 under $1 kept every key and stored them at closing"
}
held_lock_session openbox

# --- Session 6: a list named on the command line, an opener that finds no program ------------
log "session 6, pellatrix LIST with a failing opener"
rm -rf "$out"
mkdir -p "$work/opener"
printf '#!/bin/sh\nexit 3\n' >"$work/opener/xdg-open"
chmod +x "$work/opener/xdg-open"
program_path="$work/opener:$PATH"
# Started at 10:02:40, a time of day whose draw (seeded with the seconds since midnight) is 7:
# the start opens the home page, and the failing opener is told in the same box as a folder's.
# The clock of the day stands still there; the one that timers use runs on. Preloaded in the
# program itself (the faketime command would start it as a child of its own, with another pid).
faketime_lib=$(compgen -G '/usr/lib/*/faketime/libfaketimeMT.so.1' | head -n1 || true)
[ -n "$faketime_lib" ] || fail "libfaketime is missing (scripts/setup.sh installs faketime)"
launcher=(env TZ=UTC FAKETIME='2026-12-08 10:02:40' FAKETIME_DONT_FAKE_MONOTONIC=1
    LD_PRELOAD="$faketime_lib" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0")
# Named as a user in that folder names it: relative to the working folder.
cd "$prog/Samples"
start_program sample2.txt
faked_pid=$app_pid
cd - >/dev/null
launcher=(env)
box=$(wait_box "failed home page opener")
expect_copied "failed home page opener" "Could not open the web page \"https://www.quennet.example/pellatrix/\".
No program to open it was found."
press_in_box "$box" Return
wait_box_closed "failed home page opener"
click "${PB2[@]}"
box=$(wait_box "end of run, session 6")
expect_copied "end of run, session 6" "Done.
3 files created, 0 files replaced, 4 folders made, 0 failures"
xdotool key Return
wait_box_closed "end of run, session 6"
expect_file "$out/newfolder1/first.txt" "first"
expect_file "$out/newfolder3/third.txt" "third"
[ ! -e "$out/newfolder1/out.txt" ] || fail "a list not named on the command line was run"
click "${PB7[@]}"
box=$(wait_box "samples folder question, session 6")
xdotool key Return
wait_box_gone "$box" "samples folder question, session 6"
box=$(wait_box "failed opener")
expect_copied "failed opener" "Could not open the folder \"$prog/Samples/\".
No program to open it was found."
xdotool key Return
wait_box_closed "failed opener"
stop_program
forget_faked_clock
unset program_path

# --- Session 7: list files named like Qt's options, and one that is missing ------------------
# Every name after "--", and every name of an existing file, is a list file: Qt sees none of
# them (it took "-reverse" and "-style NAME" wherever they stood). A missing one is told at once.
log "session 7, list files named -reverse and -style, one missing"
odd="$work/odd"
mkdir -p "$odd"
for name in -reverse -style c.txt; do
    printf '%s\n' "$odd/out/$name.made>from $name" >"$odd/$name"
done
cd "$odd"
start_program -reverse -- -style c.txt gone.txt
cd - >/dev/null
box=$(wait_box "missing list file")
expect_copied "missing list file" "The list file \"$odd/gone.txt\" was not found."
press_in_box "$box" Return
wait_box_closed "missing list file"
# The first row chosen with the keyboard (Tab away and back, then down and up), the window active.
xdotool key Tab shift+Tab Down Up
expect_selection_readable "session 7 under openbox"
click "${PB2[@]}"
box=$(wait_box "end of run, session 7")
xdotool key Return
wait_box_closed "end of run, session 7"
for name in -reverse -style c.txt; do
    expect_file "$odd/out/$name.made" "from $name"
done
stop_program
log "session 7 ran all three lists and told the missing one"
kill "$wm_pid"
wait "$wm_pid" 2>/dev/null || true
wm_pid=""

# --- Session 5 again, under icewm ---------------------------------------------------------------
command -v icewm >/dev/null || fail "icewm is missing (scripts/setup.sh installs it)"
mkdir -p "$work/icewm"
HOME="$work/icewm" icewm >"$work/wm.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' &&
        [ "$(xprop -root _NET_SUPPORTING_WM_CHECK)" != "$openbox_check" ] && break
    kill -0 "$wm_pid" 2>/dev/null || fail "icewm did not start: $(cat "$work/wm.log")"
    sleep 0.1
done
held_lock_session icewm
kill "$wm_pid"
wait "$wm_pid" 2>/dev/null || true
wm_pid=""
log "passed"
