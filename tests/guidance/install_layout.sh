#!/usr/bin/env bash
# Installs the build into a staging folder and checks the layout a user's system gets: the
# program with everything it reads beside it, the launcher on the PATH that reaches it, and the
# desktop entry with its icon. Usage: install_layout.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d /tmp/pellatrix-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT

fail() { echo "install: FAILED: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 ||
    { cat "$stage.log" >&2; rm -f "$stage.log"; fail "cmake --install"; }
rm -f "$stage.log"
root="$stage/usr"
libdir=$(cd "$root" && ls -d lib*/pellatrix | head -n1)
[ -n "$libdir" ] || fail "no lib*/pellatrix folder"

# Everything the program reads lies beside it.
for f in pellatrix HAND-M.CUR drag.ico pellatrix.png Samples/sample1.txt Samples/sample2.txt; do
    [ -e "$root/$libdir/$f" ] || fail "$libdir/$f is missing"
done
[ -x "$root/$libdir/pellatrix" ] || fail "the program is not executable"
for f in "$(dirname "$0")"/../../Samples/*; do
    cmp -s "$f" "$root/$libdir/Samples/$(basename "$f")" || fail "sample $(basename "$f") differs"
done

# The launcher on the PATH and the command-line companion.
[ -x "$root/bin/pellatrix" ] || fail "bin/pellatrix is missing"
[ -x "$root/bin/pellatrix-cli" ] || fail "bin/pellatrix-cli is missing"
target=$(sed -n 's/^exec "\$here\/\(.*\)" "\$@"$/\1/p' "$root/bin/pellatrix")
[ -n "$target" ] || fail "the launcher does not exec the program"
[ "$(readlink -f "$root/bin/$target")" = "$(readlink -f "$root/$libdir/pellatrix")" ] ||
    fail "the launcher points at $target"
# The launcher reaches the program through a link of its own too (as links in ~/bin are made),
# with the arguments untouched: a stand-in program reports how it was called.
mv "$root/$libdir/pellatrix" "$stage/real-program"
printf '#!/bin/sh\necho "ran $0 with $#: $1"\n' >"$root/$libdir/pellatrix"
chmod +x "$root/$libdir/pellatrix"
mkdir "$stage/elsewhere"
ln -s "$root/bin/pellatrix" "$stage/elsewhere/pellatrix"
ran=$("$stage/elsewhere/pellatrix" "one arg")
[[ "$ran" == "ran "*"/$libdir/pellatrix with 1: one arg" ]] || fail "launcher ran: $ran"
mv "$stage/real-program" "$root/$libdir/pellatrix"

# Desktop entry and icon.
desktop="$root/share/applications/pellatrix.desktop"
[ -f "$desktop" ] || fail "desktop entry missing"
grep -qx 'Exec=pellatrix' "$desktop" || fail "desktop entry does not start pellatrix"
grep -qx 'Icon=pellatrix' "$desktop" || fail "desktop entry names another icon"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop entry is not valid"
fi
ls "$root"/share/icons/hicolor/*/apps/pellatrix.png >/dev/null 2>&1 || fail "no hicolor icon"

# Nothing is installed twice under different names, and nothing lands outside the prefix.
[ -z "$(find "$stage" -mindepth 1 -maxdepth 1 ! -name usr ! -name elsewhere)" ] ||
    fail "files outside the prefix"
echo "install: layout as expected under $libdir"
