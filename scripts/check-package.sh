#!/usr/bin/env bash
# check-package.sh [BUILD_DIR]: makes the Debian package from a built tree (default: rel), checks
# it with lintian, installs it with apt-get, tries what a user gets (both programs on the PATH,
# a list from standard input, the window started through its desktop entry, the manual pages,
# the completion, the metainfo) and removes it again, checking that nothing stays behind.
# It installs system-wide, so it runs only as root (CI's throwaway machine), never by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-rel}

fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
say() { echo "check-package: $*"; }

[ "$(id -u)" -eq 0 ] ||
    fail "this installs and removes the package system-wide; run it as root on a machine you can spare"
scripts/setup.sh package
if dpkg-query -W -f='${Status}' pellatrix 2>/dev/null | grep -q 'install ok installed'; then
    fail "pellatrix is installed already; remove it first (apt-get remove pellatrix)"
fi

rm -f "$build"/pellatrix_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; fail "cpack"; }
debs=("$build"/pellatrix_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one pellatrix_*.deb in $build"
deb=$(readlink -f "${debs[0]}")
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "pellatrix_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
say "built $(basename "$deb")"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries"
dpkg-deb -f "$deb" Maintainer | grep -q '@' || fail "no maintainer"

# Everything lies under /usr, and nothing of the build tree went in: no build path in any file.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '^\./$' | grep -v '^\./usr/' &&
    fail "files outside /usr"
unpacked=$(mktemp -d)
home=$(mktemp -d)
xvfb_pid=
window_pid=
cleanup() {
    [ -n "$window_pid" ] && kill "$window_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    if dpkg-query -W -f='${Status}' pellatrix 2>/dev/null | grep -q 'install ok installed'; then
        apt-get remove -y -q pellatrix >/dev/null 2>&1 || true
    fi
    rm -rf "$unpacked" "$home"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$unpacked"
if grep -rlF "$(readlink -f "$build")" "$unpacked" >/dev/null; then
    fail "the package holds paths of the build tree: $(grep -rlF "$(readlink -f "$build")" "$unpacked")"
fi

# lintian: errors fail; the rest is shown. Expected: initial-upload-closes-no-bugs (not uploaded
# to Debian, so no ITP bug); for a Release build without the distribution's flags the hardening
# infos (bindnow, fortify) and binary-has-unneeded-section (cpack's strip keeps .comment); the
# samples read as documentation and the icon as an image in /usr/lib, because the program reads
# them beside itself.
lintian --fail-on error -I "$deb" || fail "lintian reports errors"

DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=120 "$deb" >"$home/apt.log" 2>&1 ||
    { cat "$home/apt.log" >&2; fail "apt-get install"; }
[ "$(command -v pellatrix)" = /usr/bin/pellatrix ] || fail "pellatrix is not on the PATH"
[ "$(command -v pellatrix-cli)" = /usr/bin/pellatrix-cli ] || fail "pellatrix-cli is not on the PATH"

# The companion on a list from standard input, run as a user would, in a home of its own.
mkdir "$home/work"
out=$(cd "$home/work" && printf '%s\n' "made/a.txt>first" "$home/made/b.txt>second" \
      "~/made/c.txt>third" | HOME="$home" pellatrix-cli -)
[ "$out" = $'3 files written, 0 failures\nDone.' ] || fail "pellatrix-cli printed: $out"
[ "$(cat "$home/work/made/a.txt" "$home/made/b.txt" "$home/made/c.txt")" = firstsecondthird ] ||
    fail "pellatrix-cli did not write the files where they belong"

# The window program answers --version and, without a display, says why it cannot open.
[ "$(pellatrix --version)" = "$(pellatrix-cli --version | sed 's/^pellatrix-cli/pellatrix/')" ] ||
    fail "pellatrix --version"
nodisplay=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM pellatrix 2>&1) &&
    fail "pellatrix without a display exited 0"
[ "$nodisplay" = "pellatrix: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY are empty); for the command line use pellatrix-cli" ] ||
    fail "pellatrix without a display said: $nodisplay"

# The window, started the way the menu starts it: the desktop entry's command on a display.
desktop=/usr/share/applications/pellatrix.desktop
desktop-file-validate "$desktop" || fail "desktop entry"
appstreamcli validate --no-net $(dpkg -L pellatrix | grep '/usr/share/metainfo/.*\.xml$') || fail "metainfo"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
display=
for n in $(seq 150 250); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=:$n; break; }
done
[ -n "$display" ] || fail "no free X display number"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
done
(cd "$home" && exec env DISPLAY="$display" HOME="$home" XDG_CONFIG_HOME="$home/.config" \
    QT_QPA_PLATFORM=xcb sh -c "exec $exec_line" >"$home/window.log" 2>&1) &
window_pid=$!
sleep 3
kill -0 "$window_pid" 2>/dev/null || { cat "$home/window.log" >&2; fail "the window did not stay up"; }
DISPLAY="$display" xdotool search --name '^Pellatrix' >/dev/null ||
    fail "no window named Pellatrix on the display"
kill "$window_pid"
wait "$window_pid" 2>/dev/null || true
window_pid=
say "the window started from the desktop entry and stayed up"

# Manual pages and the completion, where man and bash-completion find them.
man -w pellatrix >/dev/null && man -w pellatrix-cli >/dev/null || fail "manual pages not found"
MANWIDTH=80 man pellatrix-cli 2>/dev/null | grep -q 'standard input' || fail "man pellatrix-cli"
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader pellatrix-cli; complete -p pellatrix-cli' 2>&1) ||
    fail "no completion for pellatrix-cli: $completion"

# Removal takes everything the package put down.
files=$(dpkg -L pellatrix | while read -r f; do [ -d "$f" ] || echo "$f"; done)
apt-get remove -y -q -o DPkg::Lock::Timeout=120 pellatrix >"$home/apt.log" 2>&1 || { cat "$home/apt.log" >&2; fail "apt-get remove"; }
left=$(for f in $files; do [ -e "$f" ] && echo "$f"; done || true)
[ -z "$left" ] || fail "left behind after removal: $left"
[ ! -e /usr/lib/pellatrix ] || fail "/usr/lib/pellatrix left behind"
say "installed, tried and removed $(basename "$deb")"
