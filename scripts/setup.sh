#!/usr/bin/env bash
# Installs what the build needs (Debian packages), then configures and builds each architecture
# into its own folder: $BUILD_DIR/x86 (the product) and $BUILD_DIR/x64.
# Sourced by demo.sh, test.sh and bench/run.sh. The caller may set:
#   BUILD_DIR      root of the build folders (default: build/ in the repository)
#   BUILD_ARCHES   which builds, blank-separated, in this order (default: "x64 x86")
#   BUILD_TARGETS  limits the build to these targets, e.g. what the demo installs
# Afterwards ARCH_DIRS names the build folder of each architecture built.
set -euo pipefail

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
# x64 first: the x86 build's ZIP carries the x64 program beside its own.
BUILD_ARCHES="${BUILD_ARCHES:-x64 x86}"
"$ROOT_DIR/scripts/install-deps.sh"

export WINEDEBUG=-all
declare -A ARCH_DIRS=()
for arch in $BUILD_ARCHES; do
  dir="$BUILD_DIR/$arch"
  extra=()
  [ "$arch" = x86 ] && [ -d "$BUILD_DIR/x64/bin" ] && extra+=("-DVEMO_X64_BIN_DIR=$BUILD_DIR/x64/bin")
  echo "== Building $arch in $dir"
  cmake -S "$ROOT_DIR" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_ARCH="$arch" \
        ${extra[@]+"${extra[@]}"} >/dev/null
  cmake --build "$dir" ${BUILD_TARGETS:+--target $BUILD_TARGETS} -- -j2
  ARCH_DIRS[$arch]="$dir"
  # One prefix per build folder, made on first use.
  if [ ! -f "$dir/wineprefix/system.reg" ]; then
    echo "Creating Wine prefix $dir/wineprefix"
    WINEPREFIX="$dir/wineprefix" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$dir/wineprefix" wineserver -k >/dev/null 2>&1 || true
  fi
done
