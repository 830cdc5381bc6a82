#!/usr/bin/env bash
# Sets up what is missing, builds Pellatrix and starts its window.
# Without a display it says so and does the main job with the command-line companion instead:
# it creates the files that the shipped sample list names (under ~/pellatrix-samples/).
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/pellatrix "$@"
fi
echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty), so the window cannot be shown." >&2
echo "run.sh: running the command-line companion on Samples/sample1.txt instead:" >&2
exec build/bin/pellatrix-cli --text "Created by Pellatrix" build/bin/Samples/sample1.txt
