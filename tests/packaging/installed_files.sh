#!/usr/bin/env bash
# Installs the build into a staging folder under /usr and checks the files that make Pellatrix
# a desktop citizen: desktop entry and metainfo pass their validators, the manual pages render
# without warnings and say what they must, the completion completes, the icons and the licence
# are where desktops and Debian look. Usage: installed_files.sh BUILD_DIR
set -euo pipefail
build=$1
stage=$(mktemp -d /tmp/pellatrix-files.XXXXXX)
trap 'rm -rf "$stage"' EXIT
fail() { echo "installed files: FAILED: $*" >&2; exit 1; }
for tool in desktop-file-validate appstreamcli man; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage/install.log" 2>&1 ||
    { cat "$stage/install.log" >&2; fail "cmake --install"; }
usr=$stage/usr
share=$usr/share

# The desktop entry is named after the AppStream id, and the metainfo launches it.
metainfo=$(ls "$share"/metainfo/*.metainfo.xml)
id=$(sed -n 's|.*<id>\(.*\)</id>.*|\1|p' "$metainfo")
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "metainfo file is not named after $id"
desktop-file-validate "$share/applications/$id.desktop" || fail "desktop entry $id.desktop"
appstreamcli validate --no-net --pedantic "$metainfo" >"$stage/as.log" 2>&1 ||
    { cat "$stage/as.log" >&2; fail "metainfo"; }
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "metainfo does not launch the desktop entry"
cmp -s "$share/doc/pellatrix/README.md" "$(dirname "$0")/../../README.md" || fail "README not in doc"

for size in 48x48 64x64; do
    f=$share/icons/hicolor/$size/apps/pellatrix.png
    [ -f "$f" ] || fail "no $size icon"
    [ "$(file -b "$f" | grep -o '[0-9]* x [0-9]*' | tr -d ' ')" = "$size" ] || fail "$f is not $size"
done
grep -q '<svg' "$share/icons/hicolor/scalable/apps/pellatrix.svg" || fail "no scalable icon"
grep -q 'License: MIT' "$share/doc/pellatrix/copyright" || fail "copyright does not name MIT"

# Each page renders without a warning and covers what a user looks it up for.
for page in pellatrix pellatrix-cli; do
    f=$share/man/man1/$page.1.gz
    [ -f "$f" ] || fail "no manual page $page(1)"
    # Justified lines stretch the spaces between words: squeeze them before looking for words.
    text=$(MANWIDTH=100 man --warnings -l "$f" 2>"$stage/man.err" | col -bx | tr -s ' ')
    [ ! -s "$stage/man.err" ] || { cat "$stage/man.err" >&2; fail "$page(1) renders with warnings"; }
    for must in 'EXIT STATUS' 'FILES' 'EXAMPLES' 'Pellatrix.conf' '~/' 'working folder' \
                '? * | < > ; : [ ] " \ =' 'fixed text'; do
        grep -qF -- "$must" <<<"$text" || fail "$page(1) does not mention '$must'"
    done
done

# The completion offers the options, file names after --text-file, and after --undo= the runs
# that can be undone (a run made here, in a state folder of its own).
completion=$share/bash-completion/completions/pellatrix-cli
[ -f "$completion" ] || fail "no bash completion"
if [ -f /usr/share/bash-completion/bash_completion ]; then
    mkdir "$stage/work" && touch "$stage/work/list1.txt"
    export XDG_STATE_HOME=$stage/state PATH=$usr/bin:$PATH
    echo "$stage/work/made.txt" | pellatrix-cli -q - || fail "pellatrix-cli did not run"
    run=$(pellatrix-cli --list-runs | cut -d' ' -f1)
    got=$(cd "$stage/work" && bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"
        complete_words() {
            COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
            COMP_LINE="$*"; COMP_LINE=${COMP_LINE// = /=}; COMP_POINT=${#COMP_LINE}
            _pellatrix_cli pellatrix-cli "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
            echo "${COMPREPLY[*]}"
        }
        complete_words pellatrix-cli --te
        complete_words pellatrix-cli --n
        complete_words pellatrix-cli -f li
        complete_words pellatrix-cli --undo = ""' _ "$completion")
    [ "$got" = $'--text --text-file\n--null --no-clobber --no-journal\nlist1.txt\n'"$run" ] ||
        fail "completion offered: $got"
else
    bash -n "$completion" || fail "completion does not parse"
fi
echo "installed files: as expected"
