#!/usr/bin/env bash
# Sets up what is missing, builds Pellatrix twice (plain, and with Address- and
# UndefinedBehaviorSanitizer) and runs every test in both builds. Warnings are errors here.
# It installs nothing but the build and test tools (scripts/setup.sh); the Debian package is
# checked by scripts/check-package.sh, which CI runs as root.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLATRIX_WERROR=ON
(cd build && ctest --output-on-failure -j 2 --timeout 300)
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DPELLATRIX_SANITIZE=ON -DPELLATRIX_BUILD_BENCH=OFF \
  -DPELLATRIX_WERROR=ON
(cd build-asan && ctest --output-on-failure -j 2 --timeout 600)
