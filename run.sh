#!/usr/bin/env bash
# Sets up what is missing, builds the two programs and starts Pellatrix's window.
# The programs only, as a Release build in build-run/ (the tests are built by test.sh, in build/),
# so a first start takes a few minutes, not the whole suite's build.
# Without a display it says so and does the main job with the command-line companion instead:
# it creates the files that the shipped sample list names (under ~/pellatrix-samples/).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh build-run -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build-run/bin/pellatrix "$@"
fi
echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty), so the window cannot be shown." >&2
echo "run.sh: running the command-line companion on Samples/sample1.txt instead:" >&2
exec build-run/bin/pellatrix-cli --text "Created by Pellatrix" build-run/bin/Samples/sample1.txt
