#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARG...] - run a Windows program of the build
# under Wine, in the build's own Wine prefix, made on first use. Used as the
# build's cross-compiling emulator, so ctest runs every test through it.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            wineboot -i >/dev/null 2>&1
            wineserver -w
        fi
    ) 9>"$prefix.lock"
fi
exec wine "$@"
