#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Pellatrix need, when missing.
# `setup.sh package` adds what building and checking the Debian package needs.
# Safe to run again: installed packages are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config        # build
  qt6-base-dev qt6-base-dev-tools libqt6test6  # the window and its tests
  libxcb1-dev                             # the window manager hints of the fixed-size window
  libgtest-dev                            # tests of the Qt-free parts
  libxxhash-dev                           # checksums of the old contents kept for an undo
  xvfb xauth xdotool x11-apps x11-utils   # the real window on a headless machine, driven from outside
  openbox icewm                           # window managers that read the fixed-size hints and that
                                          # differ in what they activate (e2e)
  weston qt6-wayland                      # the real window under a headless Wayland compositor
  faketime                                # a start at a chosen time of day: the home page's draw (e2e)
  fonts-liberation                        # Arial's metric twin
  python3                                 # the benchmark's baseline script
  desktop-file-utils appstream man-db file  # the desktop entry, metainfo, manual pages, icons are checked
  clang-14 libclang-rt-14-dev             # fuzz targets (libFuzzer, sanitizers): scripts/fuzz.sh
  libfuse3-dev fuse3                      # the network benchmark's delaying file system (bench/network.sh)
)
# The 32-bit (-m32) build of the engine and companion that test.sh makes on x86-64.
[ "$(dpkg --print-architecture)" = amd64 ] && packages+=(g++-multilib)
if [ "${1:-}" = package ]; then
  packages+=(
    dpkg-dev debhelper build-essential    # dpkg-buildpackage with debian/rules (dh); it checks
                                          # for build-essential before any build
    lintian                               # the package's own check
    devscripts                            # hardening-check on the installed programs
    bash-completion                       # the installed completion is tried
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
# As root directly (a container or CI has no sudo), otherwise through sudo.
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
# Another apt or dpkg (an unattended upgrade, a second setup) may hold the lock: wait for it.
wait_lock=(-o DPkg::Lock::Timeout=300)
"${as_root[@]}" apt-get "${wait_lock[@]}" update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get "${wait_lock[@]}" install -y -q --no-install-recommends "${missing[@]}"
