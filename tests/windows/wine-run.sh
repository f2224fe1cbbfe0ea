#!/bin/sh
# wine-run.sh PREFIX [PROGRAM [ARG...]] - run a Windows program of the
# build under Wine, in the build's own Wine prefix, made on first use (with
# no program: just make it). Used as the build's cross-compiling emulator,
# so ctest runs every test through it.
#
# The prefix shows every window on one virtual desktop: without a window
# manager (as on Xvfb) Wine waits seconds for each window that it unmaps,
# and on its own desktop it has no window manager to wait for.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$prefix/.zelm-ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.zelm-ready" ]; then
            wineboot -i >/dev/null 2>&1 &&
                wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 &&
                wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1 &&
                wineserver -w &&
                touch "$prefix/.zelm-ready"
        fi
    ) 9>"$prefix.lock"
fi
[ ! -f "$prefix/.zelm-ready" ] && { echo "wine-run.sh: cannot set up the Wine prefix $prefix" >&2; exit 1; }
[ $# -eq 0 ] && exit 0

# Wine starts its own service processes on first use, and they inherit the
# standard streams: were those ctest's pipes, ctest would wait for them to
# end. So the program writes into files, shown once it has ended.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
rc=0
wine "$@" </dev/null >"$out" 2>"$err" || rc=$?
cat "$out"
cat "$err" >&2
exit $rc
