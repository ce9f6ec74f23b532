#!/usr/bin/env bash
# The reliability suite's long form: a stop in every stage of the start-up 20 times over, bad
# input from a new seed (printed; VEMO_RELIABILITY_SEED replays it) ten times the short count,
# the fault matrix. ctest runs the short form of the same programs. Prints each program's counts; exits non-zero if one fails.
set -euo pipefail
BUILD_TARGETS="${BUILD_TARGETS:-service_lifecycle_tests fault_matrix_tests bad_input_tests}"
# The product's build unless BUILD_ARCHES says otherwise.
BUILD_ARCHES="${BUILD_ARCHES:-x86}"
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
ARCH="${BUILD_ARCHES##* }"
BUILD_DIR="${ARCH_DIRS[$ARCH]}"
export WINEPREFIX="$BUILD_DIR/wineprefix"
# A session left running (an interrupted test run) would never end by itself: end it first.
wineserver -k >/dev/null 2>&1 || true
export VEMO_RELIABILITY_LONG=1

status=0
for name in $BUILD_TARGETS; do
  exe="$(find "$BUILD_DIR/bin" -name "$name.exe" | head -1)"
  [ -n "$exe" ] || { echo "$name.exe not built"; status=1; continue; }
  echo "== $name (long form)"
  start=$(date +%s)
  if ! wine "$exe" | tr -d '\r' | grep -v '^\[ RUN\|^$'; then status=1; fi
  echo "-- $name: $(( $(date +%s) - start )) s"
done
wineserver -k >/dev/null 2>&1 || true
exit $status
