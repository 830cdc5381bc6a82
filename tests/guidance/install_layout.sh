#!/usr/bin/env bash
# Installs the build into a staging folder and checks the layout a user's system gets: both
# programs on the PATH, the files the window reads in share/pellatrix (where the program finds
# them from its own folder), the desktop entry with its icons in hicolor, and nothing else
# anywhere. Usage: install_layout.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d /tmp/pellatrix-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT

fail() { echo "install: FAILED: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 ||
    { cat "$stage.log" >&2; rm -f "$stage.log"; fail "cmake --install"; }
rm -f "$stage.log"
root="$stage/usr"

# The programs themselves on the PATH, no launcher in between.
for f in pellatrix pellatrix-cli; do
    [ -x "$root/bin/$f" ] || fail "bin/$f is missing"
    head -c 4 "$root/bin/$f" | grep -q ELF || fail "bin/$f is not the program"
done

# What the window reads is architecture-independent data, found as ../share/pellatrix from bin.
data=$root/share/pellatrix
for f in HAND-M.CUR drag.ico Samples/sample1.txt Samples/sample2.txt; do
    [ -f "$data/$f" ] || fail "share/pellatrix/$f is missing"
done
for f in "$(dirname "$0")"/../../Samples/*; do
    cmp -s "$f" "$data/Samples/$(basename "$f")" || fail "sample $(basename "$f") differs"
done
[ ! -e "$root/lib" ] || fail "something was installed in lib: $(find "$root/lib")"

# Desktop entry and icons, the icons in hicolor only.
desktop="$root/share/applications/example.quennet.pellatrix.desktop"
[ -f "$desktop" ] || fail "desktop entry missing"
grep -qx 'Exec=pellatrix %F' "$desktop" || fail "desktop entry does not start pellatrix with the opened files"
grep -qx 'Icon=pellatrix' "$desktop" || fail "desktop entry names another icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop entry is not valid"
fi
ls "$root"/share/icons/hicolor/*/apps/pellatrix.png >/dev/null 2>&1 || fail "no hicolor icon"
stray=$(find "$stage" -name 'pellatrix.png' -o -name 'pellatrix.svg' | grep -v '/share/icons/hicolor/' || true)
[ -z "$stray" ] || fail "icons outside hicolor: $stray"

# Nothing lands outside the prefix, and /usr holds only bin and share.
[ -z "$(find "$stage" -mindepth 1 -maxdepth 1 ! -name usr)" ] || fail "files outside the prefix"
[ "$(ls "$root" | tr '\n' ' ')" = "bin share " ] || fail "unexpected folders in /usr: $(ls "$root")"
echo "install: layout as expected"
