#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds into build/.
# Sourced by demo.sh and test.sh; BUILD_DIR and BUILD_TARGETS may be set by the caller.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
PACKAGES=(g++-mingw-w64-x86-64-posix wine64 cmake ninja-build googletest)

missing=()
for pkg in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S "$ROOT_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# BUILD_TARGETS (blank-separated) limits the build, e.g. to what the demo installs.
cmake --build "$BUILD_DIR" ${BUILD_TARGETS:+--target $BUILD_TARGETS} -- -j2

export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
# One prefix per build directory, made on first use.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
fi
