#!/usr/bin/env bash
# Builds the service, installs and starts both services under Wine, shows what they traced,
# then stops and uninstalls them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

EXE="$BUILD_DIR/bin/VeMoHostService.exe"
MAIN="TRUVO Kartenwacht-Dienst"
BASIS="TRUVO Kartenwacht-Basis-Dienst"
TRACE_WIN='C:\ProgramData\Truvo\Log\VeMo\VeMoTrace.log'
TRACE="$(winepath -u "$TRACE_WIN" 2>/dev/null)"

cleanup() { wine "$EXE" /uninstall >/dev/null 2>&1 || true; wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

state() { wine sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
wait_state() {
  for _ in $(seq 1 100); do [ "$(state "$1")" = "$2" ] && return 0; sleep 0.2; done
  return 1
}

# A run that was interrupted may have left the services behind.
wine "$EXE" /stop >/dev/null 2>&1 || true
wine "$EXE" /uninstall >/dev/null 2>&1 || true

start_size=$(stat -c %s "$TRACE" 2>/dev/null || echo 0)

echo "== Installing both services"
wine "$EXE" /install
echo "   $MAIN: $(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$MAIN" /v ImagePath | awk -F'REG_SZ' '/ImagePath/ {print $2}' | sed 's/^ *//')"
echo "   $BASIS: $(wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$BASIS" /v ImagePath | awk -F'REG_SZ' '/ImagePath/ {print $2}' | sed 's/^ *//')"

echo "== Starting both services"
wine "$EXE" /start
wait_state "$MAIN" RUNNING && wait_state "$BASIS" RUNNING
echo "   $MAIN: $(state "$MAIN")"
echo "   $BASIS: $(state "$BASIS")"

echo "== Stopping both services (waits until they have stopped)"
wine "$EXE" /stop
echo "   $MAIN: $(state "$MAIN")"
echo "   $BASIS: $(state "$BASIS")"

echo "== Uninstalling both services"
wine "$EXE" /uninstall
wine sc query "$MAIN" >/dev/null 2>&1 && echo "   still installed?" || echo "   both services removed"

echo "== Trace of this run, without the method begin/end lines (all of it: $TRACE_WIN)"
echo "   time                     pid    level  category   text"
tail -c +"$((start_size + 1))" "$TRACE" | tr -d '\r' | cut -f1,2,4- \
  | grep -a -v -E $'\t(---> Beginn|<--- Ende)' | iconv -f ISO-8859-1 -t UTF-8 | sed 's/^/   /'
