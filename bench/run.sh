#!/usr/bin/env bash
# Builds if needed, runs every bench program under Wine and ends with one table: each figure
# beside its target. The figures and how to read them: docs/performance.md.
set -euo pipefail
# The product's build unless BUILD_ARCHES says otherwise ("x64" for the second build).
BUILD_ARCHES="${BUILD_ARCHES:-x86}"
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
ARCH="${BUILD_ARCHES##* }"
BUILD_DIR="${ARCH_DIRS[$ARCH]}"
export WINEPREFIX="$BUILD_DIR/wineprefix"
# A session left running (an interrupted test run) would be measured along: end it first.
wineserver -k >/dev/null 2>&1 || true

rows=""
for bench in trace_bench plugin_bench service_bench; do
  echo "== $bench"
  output="$(wine "$BUILD_DIR/bin/$bench.exe" | tr -d '\r')"
  grep -v '^TABLE' <<<"$output" || true
  rows+="$(grep '^TABLE' <<<"$output" || true)"$'\n'
  echo
done
wineserver -k >/dev/null 2>&1 || true

echo "== Figures and targets, $ARCH build (Wine $(wine --version 2>/dev/null | sed 's/^wine-//'), $(nproc) cores)"
awk -F'\t' 'BEGIN { printf "%-66s %-48s %-32s %s\n", "figure", "measured", "target", "verdict" }
            $1 == "TABLE" { printf "%-66s %-48s %-32s %s\n", $2, $3, $4, $5 }' <<<"$rows"
