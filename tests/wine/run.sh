#!/usr/bin/env bash
# Ring 3: the Windows builds.
#   tests/wine/run.sh [native build] [win32 build] [win64 build]
#                     (defaults build/native build/win32 build/win64)
# 1. The export and import tables of both DLLs, the import library, and the
#    exports of libpelvane.so.
# 2. Simulated readers (native pelvane-sim) on pseudo-terminals, linked as COM
#    ports of a Wine prefix; a FriendlyName device key for discovery.
# 3. The host program (LoadLibraryA + GetProcAddress), once with the DLL's
#    high-resolution timers and once with them refused (the timeBeginPeriod
#    fallback), and unit_tests.exe under wine64 against the 64-bit build;
#    against the 32-bit build too when this machine can execute 32-bit programs
#    (many kernels here cannot).
# The prefix (default: wine-prefix beside the native build, or $PELVANE_WINEPREFIX)
# is made once with wineboot -i and reused. Prints "N passed, N failed".
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
native=$(absolute "${1:-build/native}")
win32=$(absolute "${2:-build/win32}")
win64=$(absolute "${3:-build/win64}")

export WINEPREFIX=${PELVANE_WINEPREFIX:-$(dirname "$native")/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine64=${PELVANE_WINE64:-/usr/lib/wine/wine64}
wine32=${PELVANE_WINE32:-/usr/lib/wine/wine}
sim=$native/pelvane-sim

passed=0
failed=0
failures=()
step() {  # name, command...
  local name=$1; shift
  echo "=== $name"
  local t0=$SECONDS
  if "$@"; then
    passed=$((passed + 1)); echo "--- $name: ok ($((SECONDS - t0)) s)"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "--- $name: FAILED ($((SECONDS - t0)) s)"
  fi
}
finish() {
  echo
  [ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

work=$(mktemp -d /tmp/pelvane-wine.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# ---- 1. tables ----
step "32-bit DLL export and import tables" \
  "$here/check-exports.sh" dll32 "$win32/pelvane.dll" "$win32/lib/libpelvane.dll.a" \
  "$win32/tests/implib_client.exe"
step "64-bit DLL export and import tables" "$here/check-exports.sh" dll64 "$win64/pelvane.dll"
step "libpelvane.so exports" "$here/check-exports.sh" so "$native/libpelvane.so"

# ---- 2. prefix, readers, COM links ----
if [ ! -x "$sim" ]; then
  echo "FAILED: $sim not built"; failed=$((failed + 1)); failures+=("simulator"); finish
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "=== creating the Wine prefix $WINEPREFIX (once)"
  mkdir -p "$WINEPREFIX"
  "$wine64" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; }
fi

# start_line port command...: runs a pseudo-terminal server whose first output
# line is its slave path, and links COM<port> of the prefix to it.
declare -A slaves
start_line() {
  local port=$1; shift
  "$@" >"$work/com$port.out" 2>"$work/com$port.err" &
  pids+=($!)
  local i
  for i in $(seq 1 100); do
    if [ -s "$work/com$port.out" ]; then break; fi
    sleep 0.1
  done
  local slave
  slave=$(head -n1 "$work/com$port.out")
  case "$slave" in /dev/*) ;; *) echo "no pseudo-terminal for COM$port: $(cat "$work/com$port.err")"; return 1 ;; esac
  slaves[$port]=$slave
}
# A line on which nothing ever answers.
silent_line() {
  exec python3 -c 'import os, pty, sys, time
master, slave = pty.openpty()
print(os.ttyname(slave), flush=True)
while True:
    try:
        os.read(master, 4096)
    except OSError:
        time.sleep(0.1)'
}

lines_ok=1
start_line 3 "$sim" --cards felica,lite,page,typeB,peer || lines_ok=0
start_line 4 "$sim" --baud 9600 --cards felica || lines_ok=0
start_line 5 silent_line || lines_ok=0
start_line 7 "$sim" --cards mifare1k || lines_ok=0
start_line 256 "$sim" || lines_ok=0
if [ $lines_ok -ne 1 ]; then
  failed=$((failed + 1)); failures+=("simulated readers"); finish
fi

# Wine rebuilds the links of low port numbers at start-up unless the registry
# names them; COM256 keeps a link made by hand. The two device keys are what
# discovery finds (Wine lists an instance key that names its setup class, here
# Ports): a CP210x bridge on COM7 and a Prolific bridge on COM8 (no device).
{
  echo 'REGEDIT4'
  echo
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
  for port in "${!slaves[@]}"; do echo "\"COM$port\"=\"${slaves[$port]}\""; done
  echo
  echo '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_10C4&PID_EA60\PELVANE0001]'
  echo '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"'
  echo '"FriendlyName"="CP210x USB to UART Bridge Controller (COM7)"'
  echo
  echo '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_067B&PID_2303\PELVANE0002]'
  echo '"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"'
  echo '"FriendlyName"="Prolific USB-to-Serial Comm Port (COM8)"'
} >"$work/ports.reg"
windows_path() { echo "Z:${1//\//\\}"; }
"$wine64" regedit /S "$(windows_path "$work/ports.reg")" >"$work/regedit.log" 2>&1
for port in "${!slaves[@]}"; do ln -sfn "${slaves[$port]}" "$WINEPREFIX/dosdevices/com$port"; done
rm -f "$WINEPREFIX/dosdevices/com8"

# ---- 3. programs ----
run_ring() {  # label, wine loader, build folder
  local label=$1 loader=$2 dir=$3
  step "host program ($label)" "$loader" "$dir/tests/host.exe" "$(windows_path "$dir/pelvane.dll")" --high
  # The same run on a system without high-resolution timers (the host refuses
  # them to the DLL): pauses on Sleep under timeBeginPeriod(1) held by open ports.
  step "host program, timer fallback ($label)" "$loader" "$dir/tests/host.exe" \
    "$(windows_path "$dir/pelvane.dll")" --timer-fallback
  step "unit tests ($label, simulated port)" "$loader" "$dir/tests/unit_tests.exe" --gtest_brief=1
}

run_ring "64-bit, wine64" "$wine64" "$win64"

# 32-bit programs need a kernel that executes IA-32 code; try a tiny one first.
if [ -x "$wine32" ] && [ -f "$win32/tests/probe.exe" ] &&
   timeout 60 "$wine32" "$win32/tests/probe.exe" >"$work/probe.log" 2>&1; then
  echo "32-bit Windows programs run on this machine: ring against the 32-bit build"
  run_ring "32-bit" "$wine32" "$win32"
else
  echo "NOTE: 32-bit Windows programs cannot execute on this machine" \
       "($(head -c 200 "$work/probe.log" 2>/dev/null | tr '\n' ' '))."
  echo "NOTE: the ring ran against the 64-bit build; the 32-bit DLL was checked by its tables only."
fi

finish
