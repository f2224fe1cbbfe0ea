#!/bin/sh
# dist-check.sh CMAKE BUILD CC WINE-RUN PREFIX SOURCE - installs the Windows
# build into a folder, checks that it holds what a Windows host author takes
# (the three DLLs, their import libraries, the headers), and builds and runs
# a host against that folder alone.
cmake=$1 build=$2 cc=$3 wine_run=$4 prefix=$5 source=$6
dist=$(mktemp -d "${TMPDIR:-/tmp}/zelmxcc-dist.XXXXXX")
trap 'rm -rf "$dist"' EXIT
fail() { echo "dist-check: $1" >&2; exit 1; }
"$cmake" --install "$build" --prefix "$dist" >/dev/null || fail "install failed"
for f in bin/ZELMXCC.dll bin/ZELMWS.dll bin/ZELMENV.dll lib/libZELMXCC.dll.a lib/libZELMWS.dll.a \
         lib/libZELMENV.dll.a include/zelmxcc.h include/zelmws.h include/zelmref.h; do
    [ -f "$dist/$f" ] || fail "missing $f"
done
"$cc" -Wall -Werror -o "$dist/bin/dist-consumer.exe" "$source" -I"$dist/include" -L"$dist/lib" \
    -lZELMXCC -lZELMWS -lZELMENV || fail "a host does not build against the folder"
out=$(cd "$dist/bin" && "$wine_run" "$prefix" ./dist-consumer.exe 2>&1)
echo "$out"
echo "$out" | grep -q "dist-consumer: ok" || fail "the host against the folder failed"
