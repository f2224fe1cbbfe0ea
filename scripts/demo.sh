#!/usr/bin/env bash
# Builds the library and runs the example host: a class session for an
# object made from a few bytes. Installs what is missing (Debian packages).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh linux
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"${JOBS:-2}" --target zelmxcc-demo >/dev/null
exec build/examples/zelmxcc-demo "$@"
