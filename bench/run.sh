#!/usr/bin/env bash
# Builds if needed and runs every bench program under Wine, one table after the other.
# The figures and how to read them: docs/performance.md.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"

for bench in trace_bench plugin_bench; do
  echo "== $bench"
  wine "$BUILD_DIR/bin/$bench.exe"
  echo
done
wineserver -k >/dev/null 2>&1 || true
