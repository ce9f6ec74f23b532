#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

status=0
(cd "$BUILD_DIR" && ctest --output-on-failure -j2) || status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
