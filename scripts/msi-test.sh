#!/usr/bin/env bash
# The MSI package under Wine's msiexec, in a prefix of its own: install silently with the demo's
# plug-in files in place, both services RUNNING with their plug-ins and registered with quoted
# binary paths, a major upgrade to a second build in place, then an uninstall that leaves no
# service, no program file and no event source behind.
#   BUILD_DIR=<x86 build folder> scripts/msi-test.sh     (the test suite runs it)
set -euo pipefail
ROOT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="$BUILD_DIR/bin"
WORK="$BUILD_DIR/msi-test"
export WINEPREFIX="$WORK/prefix"
export WINEDEBUG=-all
source "$ROOT_DIR/scripts/sample-installation.sh"

fail() { echo "FAILED: $*" >&2; exit 1; }
image_path() { wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$1" /v ImagePath 2>/dev/null |
                 tr -d '\r' | sed -n 's/.*REG_[A-Z_]*SZ *//p'; }

wineserver -k >/dev/null 2>&1 || true
rm -rf "$WORK"
mkdir -p "$WORK"
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
# Two builds of the same files: the second one is the upgrade.
for version in 1.0.0 1.0.1; do
  (cd "$BIN" && wixl -a x86 -D Version="$version" -o "$WORK/VeMoHostService-$version-x86.msi" \
     "$ROOT_DIR/packaging/VeMoHostService.wxs") || fail "wixl could not build version $version"
done

fresh_prefix
TRACE="$(unix "$TRACE_WIN")"
# The plug-in files and the basis package exist before the product arrives, as on a customer's machine.
sample_plugin_files

echo "== msiexec /i version 1.0.0 /qn"
wine msiexec /i "$(winepath -w "$WORK/VeMoHostService-1.0.0-x86.msi")" /qn || fail "install"
wait_for "$WAIT_SECONDS" both_running || fail "services not RUNNING: $(state "$MAIN") $(state "$BASIS")"
wait_for "$WAIT_SECONDS" both_initialised || fail "the services did not finish their start-up"
[ "$(image_path "$MAIN")" = "\"$EXE_WIN\"" ] || fail "main binary path: $(image_path "$MAIN")"
[ "$(image_path "$BASIS")" = "\"$EXE_WIN\" /STARTPURE" ] || fail "basis binary path: $(image_path "$BASIS")"
plugins="$(trace | grep -c 'Init() fertig - PluginName <Kartenleser-Wache' || true)"
[ "$plugins" -ge 2 ] || fail "sample plug-ins in Run: $plugins"
wine reg query 'HKLM\SOFTWARE\TRUVO VeMo Compact' /v ProgKey /reg:32 | grep -qF "$PROG_WIN" || fail "ProgKey"
echo "   both services RUNNING, binary paths quoted, $plugins sample plug-ins in Run"

echo "== msiexec /i version 1.0.1 /qn (major upgrade)"
wine msiexec /i "$(winepath -w "$WORK/VeMoHostService-1.0.1-x86.msi")" /qn || fail "upgrade"
wait_for "$WAIT_SECONDS" both_running || fail "services not RUNNING after the upgrade"
# The removal below comes once the new start-up is complete, VeMoHost.exe included: a host that
# the start-up is still launching could appear after the removal has closed the running ones.
wait_for "$WAIT_SECONDS" lines_at_least 4 $'\tInitEvent set$' || fail "the upgraded services did not finish their start-up"
wait_for "$WAIT_SECONDS" lines_at_least 2 'VeMoHost gestartet, pid <' || fail "no VeMoHost.exe after the upgrade"
wine reg query 'HKLM\SOFTWARE\TRUVO VeMo Compact' /v CompVersion /reg:32 | grep -q '1\.0\.1' || fail "CompVersion"
[ "$(image_path "$MAIN")" = "\"$EXE_WIN\"" ] || fail "main binary path after the upgrade: $(image_path "$MAIN")"
products="$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32 2>/dev/null |
            tr -d '\r' | grep -c 'DisplayName.*TRUVO Kartenwacht-Dienst' || true)"
[ "$products" -eq 1 ] || fail "$products installed products after the upgrade"
echo "   upgraded in place: one product, version 1.0.1, services RUNNING"

echo "== msiexec /x /qn"
wine msiexec /x "$(winepath -w "$WORK/VeMoHostService-1.0.1-x86.msi")" /qn || fail "uninstall"
wine sc query "$MAIN" >/dev/null 2>&1 && fail "service $MAIN still installed"
wine sc query "$BASIS" >/dev/null 2>&1 && fail "service $BASIS still installed"
left="$( (find "$(unix "$PROG_WIN")" -type f 2>/dev/null || true) | wc -l)"
[ "$left" -eq 0 ] || fail "$left files left in the program folder: $(cd "$(unix "$PROG_WIN")" && find . -type f | paste -sd' ')"
wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$MAIN" >/dev/null 2>&1 &&
  fail "event source left"
echo "   no service, no program file, no event source left"
echo "== MSI test passed"
