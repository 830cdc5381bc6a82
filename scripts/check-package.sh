#!/usr/bin/env bash
# check-package.sh [WORK_DIR]: makes the Debian package the way a maintainer does and checks it.
#  1. `dpkg-buildpackage -us -uc -b` in a clean copy of the tree (tracked and new files only),
#     which runs the headless tests at build time, then again with DEB_BUILD_OPTIONS=nocheck
#     in a second copy under another path, time zone, locale and umask: the .debs (pellatrix
#     and pellatrix-dbgsym) must be byte-identical, so skipping the tests changes nothing.
#  2. lintian --pedantic on the .changes and on the source package: no error and no warning.
#  3. apt-get install; hardening-check on both programs; the autopkgtests (pellatrix-cli with
#     preview and undo, the window under xvfb-run), the window started with its desktop
#     entry's command, the README, the manual pages and the completion.
#  4. apt-get remove, then purge: nothing of the package stays behind.
# WORK_DIR (default build-deb) holds both copies and their packages. It installs system-wide,
# so it runs only as root (CI's throwaway machine), never by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$(mkdir -p "${1:-build-deb}" && cd "${1:-build-deb}" && pwd)

fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
say() { echo "check-package: $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
known() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -qv 'not-installed'; }

[ "$(id -u)" -eq 0 ] ||
    fail "this installs and removes the package system-wide; run it as root on a machine you can spare"
scripts/setup.sh package
! known pellatrix || fail "pellatrix is installed already; purge it first (apt-get purge pellatrix)"

# --- 1. Build twice, compare ------------------------------------------------------------------
# A copy holds what `git clone` would give plus files not yet committed, so build folders, old
# packages and editor files never reach the package; outside git the tree is copied whole.
copy_tree() {
    rm -rf "$1" && mkdir -p "$1"
    if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$top" ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
            tar -C "$top" --null -T - -cf - | tar -C "$1" -xf -
    else
        tar -C "$top" --exclude='./build*' --exclude=./rel --exclude='./obj-*' -cf - . | tar -C "$1" -xf -
    fi
}
# SOURCE_DATE_EPOCH is left to dpkg, which takes it from debian/changelog.
build_package() { # FOLDER NAME, then environment assignments
    local dir=$1 name=$2
    shift 2
    copy_tree "$dir/$name"
    local start=$SECONDS
    # -Jauto: as many jobs as processors, for the build and for the tests.
    (cd "$dir/$name" && env -u SOURCE_DATE_EPOCH "$@" dpkg-buildpackage -us -uc -b -Jauto) \
        >"$dir/build.log" 2>&1 || { tail -n 60 "$dir/build.log" >&2; fail "dpkg-buildpackage in $dir/$name"; }
    say "built in $dir/$name in $((SECONDS - start)) s"
}
rm -rf "$work/first" "$work/second"
build_package "$work/first" pellatrix
# The tests ran in the first build (and the smoke check of the built companion after them).
grep -q '^100% tests passed, 0 tests failed' "$work/first/build.log" &&
    grep -q '^cli-smoke: .* works' "$work/first/build.log" || fail "the build ran no tests"
say "the build ran $(grep -o 'tests failed out of [0-9]*' "$work/first/build.log" | grep -o '[0-9]*$') tests"
# The second build varies what a builder's machine may vary, and skips the tests (they ran in
# the first); umask in a subshell of its own.
(umask 0002 && build_package "$work/second/elsewhere" pellatrix-1.0 TZ=UTC-13 LC_ALL=C.UTF-8 LANG=C.UTF-8 \
    DEB_BUILD_OPTIONS=nocheck)
! grep -q 'tests passed' "$work/second/elsewhere/build.log" || fail "nocheck ran the tests"

version=$(cd "$top" && dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
deb=$work/first/pellatrix_${version}_${arch}.deb
dbgsym=$work/first/pellatrix-dbgsym_${version}_${arch}.deb
changes=$work/first/pellatrix_${version}_${arch}.changes
for f in "$deb" "$dbgsym" "$changes"; do [ -f "$f" ] || fail "dpkg-buildpackage did not make $(basename "$f")"; done
for f in "$deb" "$dbgsym"; do
    other=$work/second/elsewhere/$(basename "$f")
    if ! cmp -s "$f" "$other"; then
        # Name what differs, member by member, so the cause can be found without diffoscope.
        a=$(mktemp -d) b=$(mktemp -d)
        dpkg-deb -R "$f" "$a" && dpkg-deb -R "$other" "$b"
        diff -r "$a" "$b" >&2 || true
        rm -rf "$a" "$b"
        fail "$(basename "$f") differs between two builds"
    fi
done
say "two builds gave byte-identical $(basename "$deb") and $(basename "$dbgsym")"

dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries"
dpkg-deb -f "$deb" Recommends | grep -qw 'xdg-utils' || fail "Recommends lacks xdg-utils"
# Everything lies under /usr, and nothing of the build tree went in: no build path in any file.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '^\./$' | grep -v '^\./usr/' && fail "files outside /usr"
dpkg-deb -c "$deb" | awk '{print $6}' | grep '^\./usr/lib/' && fail "files in /usr/lib"
unpacked=$(mktemp -d)
home=$(mktemp -d)
xvfb_pid=
window_pid=
cleanup() {
    [ -n "$window_pid" ] && kill "$window_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    if known pellatrix; then
        apt-get purge -y -q pellatrix pellatrix-dbgsym >/dev/null 2>&1 || true
    fi
    rm -rf "$unpacked" "$home"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$unpacked"
if grep -rlF "$work" "$unpacked" >/dev/null; then
    fail "the package holds paths of the build tree: $(grep -rlF "$work" "$unpacked")"
fi

# --- 2. lintian ---------------------------------------------------------------------------------
# Every tag is shown, overridden ones too (debian/*lintian-overrides say why); an
# error or a warning fails.
# The source package too, as an upload would carry it: packed from the cleaned first copy.
(cd "$work/first/pellatrix" && debian/rules clean && cd .. && dpkg-source -b pellatrix) \
    >"$work/source.log" 2>&1 || { cat "$work/source.log" >&2; fail "dpkg-source -b"; }
dsc=$work/first/pellatrix_${version}.dsc
lintian --pedantic -I -E --show-overrides --fail-on none "$changes" "$dsc" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian did not run"; }
grep -v 'running with root privileges' "$work/lintian.log" || true
bad=$(grep -E '^[EW]: ' "$work/lintian.log" || true)
[ -z "$bad" ] || fail "lintian reports: $bad"

# --- 3. Install and try -------------------------------------------------------------------------
# What apt adds with the package (its Recommends) is taken away again at the end.
dpkg-query -W -f='${Package}\n' | sort >"$work/packages.before"
(cd / && find /usr /etc /opt /var/lib/dpkg/info -xdev 2>/dev/null | sort) >"$work/files.before"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb" "$dbgsym" \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }
[ "$(command -v pellatrix)" = /usr/bin/pellatrix ] || fail "pellatrix is not on the PATH"
[ "$(command -v pellatrix-cli)" = /usr/bin/pellatrix-cli ] || fail "pellatrix-cli is not on the PATH"
installed xdg-utils || say "note: xdg-utils is not installed (apt is set not to install Recommends)"

# hardening-check: PIE, stack protector, read-only relocations and immediate binding must be
# there. Fortify must be for pellatrix-cli, whose own code makes fortifiable calls. The window's
# code leaves its string and file work to Qt and the C++ library, so the compiler may find no
# call it can check: "no, only unprotected functions found!" then means there was nothing to
# protect, not a missing flag (both programs are built with the same flags). Newer lines
# (stack clash, control-flow integrity) are shown and not failed.
for program in /usr/bin/pellatrix-cli /usr/bin/pellatrix; do
    report=$(hardening-check "$program" || true)
    echo "$report"
    while IFS=: read -r what result; do
        result=${result# }
        case $what in
        *"Position Independent Executable" | *"Stack protected" | *"Read-only relocations" | *"Immediate binding")
            [[ $result != no* ]] || fail "$program: $what: $result" ;;
        *"Fortify Source functions")
            if [[ $result == no* ]]; then
                [ "$program" = /usr/bin/pellatrix ] && [[ $result == *"only unprotected functions found"* ]] ||
                    fail "$program: $what: $result"
            fi ;;
        esac
    done < <(tail -n +2 <<<"$report")
done

# The package's autopkgtests on the installed system: the companion with preview and undo,
# the window under xvfb-run.
sh debian/tests/cli-smoke || fail "pellatrix-cli on the installed system"
sh debian/tests/window-smoke || fail "the window on the installed system"
zcat /usr/share/doc/pellatrix/README.md.gz | cmp -s - "$work/first/pellatrix/README.md" || fail "README not in /usr/share/doc/pellatrix"

# The window program answers --version and, without a display, says why it cannot open.
[ "$(pellatrix --version | head -n 1)" = "$(pellatrix-cli --version | head -n 1 | sed 's/^pellatrix-cli/pellatrix/')" ] ||
    fail "pellatrix --version"
nodisplay=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM pellatrix 2>&1) &&
    fail "pellatrix without a display exited 0"
[ "$nodisplay" = "pellatrix: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY are empty); for the command line use pellatrix-cli" ] ||
    fail "pellatrix without a display said: $nodisplay"

# The window, started the way the menu starts it: the desktop entry's command on a display.
desktop=/usr/share/applications/example.quennet.pellatrix.desktop
desktop-file-validate "$desktop" || fail "desktop entry"
appstreamcli validate --no-net $(dpkg -L pellatrix | grep '/usr/share/metainfo/.*\.xml$') || fail "metainfo"
# Field codes (%F: the files a file manager passes) stand for nothing when the menu starts it.
exec_line=$(sed -n 's/^Exec=//p' "$desktop" | sed 's/ %[fFuU]//g')
[ "$exec_line" = pellatrix ] || fail "the desktop entry runs '$exec_line'"
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
# At start the window records the sample files it finds; the record stays empty when it finds
# no samples folder, so a filled one shows that /usr/bin/pellatrix found /usr/share/pellatrix.
grep -q '^Snapshot=.' "$home/.config/Quennet/Pellatrix.conf" ||
    fail "the window found no samples (no Snapshot in Pellatrix.conf)"
say "the window started from the desktop entry, found its files and stayed up"

# Manual pages and the completion, where man and bash-completion find them.
man -w pellatrix >/dev/null && man -w pellatrix-cli >/dev/null || fail "manual pages not found"
# Justified lines stretch the spaces between words: squeeze them before looking for words.
# Read whole first: grep -q ending the pipe early would fail it under pipefail.
page=$(MANWIDTH=80 man pellatrix-cli 2>/dev/null | tr -s ' ')
grep -q 'standard input' <<<"$page" || fail "man pellatrix-cli"
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader pellatrix-cli; complete -p pellatrix-cli' 2>&1) ||
    fail "no completion for pellatrix-cli: $completion"

# --- 4. Remove, purge ---------------------------------------------------------------------------
files=$(dpkg -L pellatrix pellatrix-dbgsym | while read -r f; do [ -d "$f" ] || echo "$f"; done)
apt-get remove -y -q -o DPkg::Lock::Timeout=300 pellatrix pellatrix-dbgsym >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get remove"; }
left=$(for f in $files; do [ -e "$f" ] && echo "$f"; done || true)
[ -z "$left" ] || fail "left behind after removal: $left"
# Removed, the package is gone whole (it has no configuration files), so purge gets a freshly
# installed one, as a user who purges at once does.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb" "$dbgsym" \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install, again"; }
apt-get purge -y -q -o DPkg::Lock::Timeout=300 pellatrix pellatrix-dbgsym >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get purge"; }
! known pellatrix && ! known pellatrix-dbgsym || fail "dpkg still knows the package after purge"
# Only what apt installed automatically for it: a package someone installed meanwhile stays.
added=$(dpkg-query -W -f='${Package}\n' | sort | comm -13 "$work/packages.before" - |
    grep -Fxf <(apt-mark showauto) | tr '\n' ' ' || true)
if [ -n "$added" ]; then
    say "purging what came with the package: $added"
    # shellcheck disable=SC2086
    apt-get purge -y -q -o DPkg::Lock::Timeout=300 $added >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log" >&2; fail "apt-get purge $added"; }
fi
# Caches that triggers rebuild for every package (icons, desktop entries, man) may change; any
# other path added since before the installation is a trace.
trace=$( (cd / && find /usr /etc /opt /var/lib/dpkg/info -xdev 2>/dev/null | sort) |
    comm -13 "$work/files.before" - | grep -v '\.cache$' || true)
[ -z "$trace" ] || fail "left behind after purge: $trace"
say "installed, tried, removed and purged $(basename "$deb") without a trace"
