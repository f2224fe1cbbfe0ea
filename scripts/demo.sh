#!/usr/bin/env bash
# Builds the library and the host program zelmxcc-host, and runs its
# demonstration script (host/demo.zxc): an object made from a few bytes, a
# class program (zelmxcc-showfile) that prints its inputs file and shows it
# in a window for two seconds, the notification when it ends, the end call,
# and the temporary inputs file gone. Installs what is missing (Debian
# packages) first. Without a display the host starts a private Xvfb.
#
#   scripts/demo.sh              the demonstration
#   scripts/demo.sh SCRIPT       zelmxcc-host with another script
#   scripts/demo.sh -            zelmxcc-host reading commands from the terminal
#
#   BUILD_DIR   build directory (default build)
#   JOBS        parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
scripts/deps.sh linux
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target zelmxcc-host zelmxcc-showfile >/dev/null
# The class program is found on PATH, as an installed one would be.
export PATH="$build/host:$PATH"
if [ $# -eq 0 ]; then
  set -- host/demo.zxc
fi
exec "$build/host/zelmxcc-host" "$@"
