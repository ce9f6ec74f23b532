# The sample installation's names, places and small helpers, shared by the demo and the MSI test.
# Sourced; WINEPREFIX is the caller's.
MAIN="TRUVO Kartenwacht-Dienst"
BASIS="TRUVO Kartenwacht-Basis-Dienst"
PROG_WIN='C:\Program Files (x86)\TRUVO\PROGRAMM\VeMoCompacT\'
KONFIG_MAIN_WIN='C:\ProgramData\Truvo\Konfig\VeMoCompact\'
KONFIG_BASIS_WIN='C:\ProgramData\Truvo\Konfig\B0003811\'
TRACE_WIN='C:\ProgramData\Truvo\Log\VeMo\VeMoTrace.log'
PRODUCT_KEY='HKLM\SOFTWARE\TRUVO VeMo Compact'
BASIS_KEY='HKLM\SOFTWARE\TRUVOeg\Components\B0003811\Versions\1.0'
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
EXE_WIN="${PROG_WIN}VeMoHostService.exe"
WAIT_SECONDS=60

unix() { winepath -u "$1" 2>/dev/null; }
reg32() { wine reg "$@" /reg:32 >/dev/null; }
state() { wine sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
trace() { [ -f "$TRACE" ] && tr -d '\r' <"$TRACE" | iconv -f ISO-8859-1 -t UTF-8 || true; }
wait_for() {  # wait_for <seconds> <command...>
  local limit=$(($1 * 5)); shift
  for _ in $(seq 1 "$limit"); do "$@" && return 0; sleep 0.2; done
  return 1
}
both_running() { [ "$(state "$MAIN")" = RUNNING ] && [ "$(state "$BASIS")" = RUNNING ]; }
both_initialised() { lines_at_least 2 $'\tInitEvent set$'; }
lines_at_least() { [ "$(trace | grep -c -- "$2")" -ge "$1" ]; }  # lines_at_least <count> <pattern>
both_stopped() { [ "$(state "$MAIN")" != RUNNING ] && [ "$(state "$BASIS")" != RUNNING ]; }

# A fresh prefix as a machine without a screen: invisible windows instead of none, no crash dialog.
fresh_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
  wineserver -w
}

# The demo's plug-in files in both configuration directories, and the basis package they need.
sample_plugin_files() {
  mkdir -p "$(unix "$KONFIG_MAIN_WIN")" "$(unix "$KONFIG_BASIS_WIN")"
  cp "$ROOT_DIR/samples/demo/B0000001.xml" "$(unix "$KONFIG_MAIN_WIN")"
  cp "$ROOT_DIR/samples/demo/B0000002.xml" "$(unix "$KONFIG_BASIS_WIN")"
  reg32 add "$BASIS_KEY" /v CompVersion /d 1.0 /f
  reg32 add "$BASIS_KEY\\ConfigDir" /ve /d "$KONFIG_BASIS_WIN" /f
}
