#!/usr/bin/env bash
# Installs the Debian packages that the builds and tests need, when missing.
#   scripts/deps.sh linux     compiler, CMake, GoogleTest, XCB, Xvfb, openbox
#   scripts/deps.sh windows   mingw-w64, Wine (32-bit), Xvfb
set -euo pipefail

want=()
case "${1:-linux}" in
  linux)
    want=(g++ cmake make pkg-config googletest libgtest-dev libxcb1-dev libxcb-ewmh-dev
          libxcb-icccm4-dev libxcb-res0-dev libxcb-record0-dev xvfb xauth openbox x11-utils binutils) ;;
  windows)
    want=(g++-mingw-w64-i686 binutils-mingw-w64-i686 cmake make googletest xvfb xauth wine wine32:i386) ;;
  *) echo "usage: $0 linux|windows" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
