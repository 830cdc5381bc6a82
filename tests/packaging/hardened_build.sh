#!/usr/bin/env bash
# A build made without flags of its own is hardened as a distribution's package is: both programs
# are position-independent, have read-only relocations bound at start (full RELRO), use the
# stack protector, and pellatrix-cli calls the checked (_FORTIFY_SOURCE) forms of libc functions.
# The same checks as hardening-check, read with readelf. Usage: hardened_build.sh BUILD_DIR
set -euo pipefail
bin=$1/bin
fail() { echo "hardened build: FAILED: $*" >&2; exit 1; }

for program in pellatrix-cli pellatrix; do
    f=$bin/$program
    [ -f "$f" ] || { [ "$program" = pellatrix ] && continue; fail "no $f"; }
    dynamic=$(readelf -d -W "$f")
    grep -q 'Flags:.*PIE' <<<"$dynamic" || fail "$program is not a position-independent executable"
    readelf -l -W "$f" | grep -q 'GNU_RELRO' || fail "$program has no read-only relocations"
    grep -qE '\(BIND_NOW\)|Flags:.* NOW' <<<"$dynamic" || fail "$program is not bound immediately"
    symbols=$(readelf --dyn-syms -W "$f")
    grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
    # The window's own code makes no call the compiler can check (Qt does its string and file
    # work), so only the companion must show the checked functions.
    if [ "$program" = pellatrix-cli ]; then
        grep -qE ' __[a-z_]+_chk(@|$)' <<<"$symbols" || fail "$program calls no fortified function"
    fi
done
echo "hardened build: PIE, full RELRO, stack protector and fortified calls as expected"
