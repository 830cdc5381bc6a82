#!/bin/sh
# Starts the window program from its own folder, where it finds its samples, cursor and icons.
# The link or copy on the PATH may lie anywhere: the real program is found from this file's
# resolved place, so a staged or relocated installation works as well.
here=$(dirname "$(readlink -f "$0")")
exec "$here/@PELLATRIX_INSTALL_DIR_FROM_BIN@/pellatrix" "$@"
