#!/usr/bin/env bash
# The Release build as the README shows it, configured (not built) in a temporary folder: it
# makes only what ships, the two programs, and passes the hardening flags to the compiler and
# the linker. Usage: release_build.sh SOURCE_DIR
set -euo pipefail
src=$1
tmp=$(mktemp -d /tmp/pellatrix-release.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "release build: FAILED: $*" >&2; exit 1; }

env -u CFLAGS -u CXXFLAGS -u LDFLAGS cmake -S "$src" -B "$tmp" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log" >&2; fail "cmake"; }
programs=$(ninja -C "$tmp" -t targets all | sed -n 's/^\([^:]*\): [A-Z]*_EXECUTABLE_LINKER.*/\1/p' |
           xargs -n1 basename | sort | tr '\n' ' ')
[ "$programs" = "pellatrix pellatrix-cli " ] || fail "it builds these programs: $programs"

commands=$(grep -E '"command": .*/cli/main\.cpp' "$tmp/compile_commands.json")
for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fPIE; do
    grep -qe "$flag" <<<"$commands" || fail "pellatrix-cli is compiled without $flag"
done
link=$(grep -A8 '^build bin/pellatrix-cli:' "$tmp/build.ninja" | grep 'LINK_FLAGS')
for flag in -z,relro -z,now -pie; do
    grep -qe "$flag" <<<"$link" || fail "pellatrix-cli is linked without $flag"
done
echo "release build: only the two programs, hardened"
