#!/usr/bin/env bash
# Builds the 32-bit Windows DLLs (ZELMXCC.dll, ZELMWS.dll, ZELMENV.dll) with
# mingw-w64 and runs their tests under Wine, on a private Xvfb display.
# Installs what is missing (Debian packages) first.
#
#   scripts/test-windows.sh [CTEST-ARGUMENT...]
#
#   BUILD_WIN    build directory (default build-win)
#   JOBS         parallel build jobs (default 2)
#   CTEST_JOBS   parallel tests (default 1: the tests share one desktop,
#                whose foreground window some of them watch)
#
# Exits with ctest's status: non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build="${BUILD_WIN:-build-win}"
jobs="${JOBS:-2}"
ctest_jobs="${CTEST_JOBS:-1}"

if [ "${1:-}" = --under-display ]; then
    # Second stage, inside scripts/with-xvfb.sh: DISPLAY is ours.
    shift
    prefix=$(sed -n 's/^ZELM_WINEPREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
    export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    tests/windows/wine-run.sh "$prefix"
    # One server for the whole run, so that no test waits for it to start;
    # it ends every Wine process of the prefix when it is stopped.
    wineserver -p
    rc=0
    # Now and then (about one test in a few hundred here) a class program
    # started under Wine in a console of its own never gets to run; a test
    # that fails is run once more, and a failure twice in a row counts.
    (cd "$build" && ctest --output-on-failure --repeat until-pass:2 -j"$ctest_jobs" "$@") || rc=$?
    wineserver -k || true
    wineserver -w || true
    exit $rc
fi

# ---- Packages -----------------------------------------------------------------
scripts/deps.sh windows

# ---- Build --------------------------------------------------------------------
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"

# ---- Tests ------------------------------------------------------------------------
exec scripts/with-xvfb.sh "$root/scripts/test-windows.sh" --under-display "$@"
