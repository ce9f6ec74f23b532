#!/usr/bin/env bash
# Builds both architectures and runs the whole test suite under Wine for each: x86 (the product,
# under Wine's WOW64) and x64. BUILD_ARCHES="x86" runs one only.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

status=0
# The product's libraries: no link cycle, no include past the links, no internal header from outside.
python3 "$(dirname "${BASH_SOURCE[0]}")/check-library-graph.py" || status=$?
for arch in $BUILD_ARCHES; do
  dir="${ARCH_DIRS[$arch]}"
  echo "== Tests, $arch"
  start=$(date +%s)
  (cd "$dir" && ctest --output-on-failure -j2) || status=$?
  echo "-- $arch: ctest took $(( $(date +%s) - start )) s"
  WINEPREFIX="$dir/wineprefix" wineserver -k >/dev/null 2>&1 || true
done
exit $status
