#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds into build/.
# Sourced by demo.sh and test.sh; BUILD_DIR and BUILD_TARGETS may be set by the caller.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
"$ROOT_DIR/scripts/install-deps.sh"

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
