#!/usr/bin/env bash
# The demo: a sample installation inside its own Wine prefix, laid out as on a customer's
# machine, with both services installed and started, a summary of what runs, then stop and
# uninstall.
#
#   scripts/demo.sh           build if needed, install, start, summarise, stop, uninstall
#   scripts/demo.sh --keep    leave both services running for exploration (prints how to end them)
#   scripts/demo.sh --x64     the x64 build instead of the product's x86 build
#   scripts/demo.sh --short   no build step and no trace excerpt; BUILD_DIR is the build folder of
#                             one architecture (the test suite runs this form)
#
# Exits non-zero when a service does not run its plug-ins as configured.
set -euo pipefail

KEEP=0
SHORT=0
ARCH=x86
for arg in "$@"; do
  case "$arg" in
    --keep) KEEP=1 ;;
    --short) SHORT=1 ;;
    --x64) ARCH=x64 ;;
    *) echo "usage: $0 [--keep] [--x64] [--short]" >&2; exit 2 ;;
  esac
done

ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT_DIR/build}"
if [ "$SHORT" -eq 0 ]; then
  # Only what the sample installation holds: the test programs are not needed here.
  BUILD_TARGETS="VeMoHostService VeMoHost QnUmTraceSystem001 QRNCSAVeMoDaemon001 VeMoPluginCheck reader_watch"
  BUILD_ARCHES="$ARCH"
  source "$ROOT_DIR/scripts/setup.sh"
  BUILD_DIR="$BUILD_DIR/$ARCH"
fi
BIN="$BUILD_DIR/bin"
export WINEPREFIX="$BUILD_DIR/demo-prefix"
export WINEDEBUG=-all

source "$ROOT_DIR/scripts/sample-installation.sh"

finish() {
  if [ "$KEEP" -eq 0 ]; then wineserver -k >/dev/null 2>&1 || true; fi
}
trap finish EXIT

# --- a fresh prefix with a sample installation ----------------------------------------------
echo "== Sample installation in $WINEPREFIX"
fresh_prefix

PROG="$(unix "$PROG_WIN")"
TRACE="$(unix "$TRACE_WIN")"
mkdir -p "$PROG"
for f in VeMoHostService.exe VeMoHost.exe VeMoPluginCheck.exe QnUmTraceSystem001.dll QRNCSAVeMoDaemon001.dll \
         VeMoReaderWatch.dll; do
  cp "$BIN/$f" "$PROG/"
done
sample_plugin_files
reg32 add "$PRODUCT_KEY" /v CompVersion /d 1.0 /f
reg32 add "$PRODUCT_KEY" /v ProgKey /d "$PROG_WIN" /f
echo "   program directory       $PROG_WIN"
echo "   plug-in files           ${KONFIG_MAIN_WIN}B0000001.xml, ${KONFIG_BASIS_WIN}B0000002.xml"
echo "   product key (32-bit)    $PRODUCT_KEY: CompVersion 1.0, ProgKey"

# --- install and start ----------------------------------------------------------------------
echo "== Installing and starting both services"
wine "$EXE_WIN" /install
wine "$EXE_WIN" /start
wait_for "$WAIT_SECONDS" both_running || true
wait_for "$WAIT_SECONDS" both_initialised || true

# --- summary --------------------------------------------------------------------------------
# The basis service's process is the one whose loading pass ran in pure mode.
TRACE_NOW="$(trace)"
basis_pid="$(awk -F'\t' '$6 ~ /bLoadInPureMode <1>/ {print $2; exit}' <<<"$TRACE_NOW")"
ok=1
echo "== Summary"
for svc in "$MAIN" "$BASIS"; do
  echo "   service \"$svc\": $(state "$svc")"
  [ "$(state "$svc")" = RUNNING ] || ok=0
done
for which in main basis; do
  if [ "$which" = basis ]; then label="$BASIS"; sel='$2 == pid'; else label="$MAIN"; sel='$2 != pid'; fi
  running="$(awk -F'\t' -v pid="$basis_pid" "$sel"' && $6 ~ /^Init\(\) fertig - PluginName </ {
               sub(/^Init\(\) fertig - PluginName </, "", $6); sub(/>, rufen Run\(\)$/, "", $6); print "      " $6}' \
             <<<"$TRACE_NOW" | sort -u)"
  echo "   plug-ins in Run, \"$label\":"
  if [ -n "$running" ]; then echo "$running"; else echo "      none"; ok=0; fi
done
ignored="$(grep -o 'ist installiert\. Plugin <[^>]*> wird nicht geladen' <<<"$TRACE_NOW" \
           | sed 's/.*Plugin <\(.*\)> wird.*/\1/' | sort -u | paste -sd, - || true)"
echo "   ignored by a rule       ${ignored:-none} (a component named in ignoreOnInstalledComponent is installed)"
if grep -q 'VeMoHost gestartet, pid <' <<<"$TRACE_NOW"; then
  echo "   VeMoHost.exe started:   $(grep -o 'VeMoHost gestartet, pid <[0-9]*>' <<<"$TRACE_NOW" | paste -sd, -)"
else
  echo "   VeMoHost.exe started:   no"; ok=0
fi
readers="$(awk -F'\t' '$5 == "VeMo.ReaderWatch" && $6 ~ /^PC\/SC|Kartenleser </ {print $6; exit}' <<<"$TRACE_NOW")"
echo "   card readers            ${readers:-no line from the ReaderWatch plug-ins yet}"
echo "   run key                 $RUN_KEY\\QRNServ =" \
     "$(wine reg query "$RUN_KEY" /v QRNServ /reg:32 2>/dev/null | tr -d '\r' | awk -F'REG_SZ' '/QRNServ/ {sub(/^ */, "", $2); print $2}')"
echo "   trace file              $TRACE_WIN"
echo "   mini-dumps (on a crash) the log directory of B0003810: C:\\users\\${USER:-$(id -un)}\\AppData\\LocalLow\\Truvo\\Log\\VeMo\\"
echo "   configuration check     wine \"${PROG_WIN}VeMoPluginCheck.exe\": $(wine "${PROG_WIN}VeMoPluginCheck.exe" 2>/dev/null | tr -d '\r' | grep '^Result:' || echo 'no result')"

if [ "$SHORT" -eq 0 ]; then
  echo "== Trace of the start-up, plug-in lines only (all of it: $TRACE_WIN)"
  grep -E $'\t(VeMoHost|VHService)\t(Plugin <.*> wird geladen\\.|Init\\(\\) fertig|InitEvent set|VeMoHost gestartet)' \
    <<<"$TRACE_NOW" | cut -f1,2,4- | sed 's/^/   /' || true
fi

if [ "$KEEP" -eq 1 ]; then
  cat <<EOF
== Left running. Explore with:
   export WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all
   wine sc query "$MAIN"
   tail -f "$TRACE"
   wine "${PROG_WIN}VeMoPluginCheck.exe"
   End it with: wine "$EXE_WIN" /uninstall; wineserver -k
EOF
  [ "$ok" -eq 1 ]
  exit
fi

# --- stop and uninstall ---------------------------------------------------------------------
echo "== Stopping and uninstalling both services"
if ! timeout "$WAIT_SECONDS" wine "$EXE_WIN" /stop; then
  # A stop that does not end is a fault to see, not a demo that hangs: the trace's last lines
  # tell where each process stands.
  echo "   /stop did not return within $WAIT_SECONDS s; the trace's last lines:"
  trace | tail -n 40 | sed 's/^/     /'
  ok=0
fi
wait_for "$WAIT_SECONDS" both_stopped || ok=0
echo "   service \"$MAIN\": $(state "$MAIN")   service \"$BASIS\": $(state "$BASIS")"
ended="$(trace | grep -c $'\tKeine aktiven Plugins mehr vorhanden!$' || true)"
echo "   plug-in hosts that ended every plug-in within its unload time: $ended of 2"
[ "$ended" -ge 2 ] || ok=0
# Wine keeps no Event Log; every reported event is also a trace line.
echo "   Event Log entries reported (ID: inserts):"
trace | grep -o 'Ereignisprotokoll: Ereignis <[0-9]*> gemeldet: .*' |
  sed -E 's/^Ereignisprotokoll: Ereignis <([0-9]+)> gemeldet: /     \1: /' || true
wine "$EXE_WIN" /uninstall
if wine sc query "$MAIN" >/dev/null 2>&1 || wine sc query "$BASIS" >/dev/null 2>&1; then
  echo "   a service is still installed"; ok=0
else
  echo "   both services removed"
fi

if [ "$ok" -eq 1 ]; then echo "== Demo finished: both services ran their plug-ins."; else echo "== Demo found a problem (see above)."; fi
[ "$ok" -eq 1 ]
