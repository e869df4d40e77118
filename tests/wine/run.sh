#!/usr/bin/env bash
# Ring 3: the Windows builds.
#   tests/wine/run.sh [native build] [win32 build] [win64 build]
#                     (defaults build/native build/win32 build/win64)
# 1. The export and import tables of both DLLs, the import library, and the
#    exports of libpelvane.so.
# 2. Simulated readers (native pelvane-sim) on pseudo-terminals, linked as COM
#    ports of a Wine prefix; a FriendlyName device key for discovery.
# 3. The host program (LoadLibraryA + GetProcAddress), once with the DLL's
#    high-resolution timers and once with them refused and then absent (the timeBeginPeriod
#    fallback), and unit_tests.exe under wine64 against the 64-bit build;
#    against the 32-bit build too when this machine can execute 32-bit programs
#    (many kernels here cannot); and the host program through pelvane-sim.exe
#    (the Windows simulator, same bitness) on named pipes; pelvane-sim.exe on
#    one end of a COM pair (two pseudo-terminals linked by socat), the tool on
#    the other.
# The prefix (default: wine-prefix beside the native build, or $PELVANE_WINEPREFIX)
# is made once with wineboot -i and reused. Prints "N passed, N failed, N skipped";
# the 32-bit programs count as skipped where the kernel cannot execute them.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
native=$(absolute "${1:-build/native}")
win32=$(absolute "${2:-build/win32}")
win64=$(absolute "${3:-build/win64}")

work=$(mktemp -d /tmp/pelvane-wine.XXXXXX)
# shellcheck source=common.sh
source "$here/common.sh"

trap wine_cleanup EXIT

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
wine_prefix

lines_ok=1
start_line 3 "$sim" --cards felica,lite,page,typeB,peer || lines_ok=0
start_line 4 "$sim" --baud 9600 --cards felica || lines_ok=0
start_line 5 silent_line || lines_ok=0
start_line 6 "$sim" --pace --cards felica || lines_ok=0
start_line 7 "$sim" --cards mifare1k || lines_ok=0
start_line 256 "$sim" || lines_ok=0
if [ $lines_ok -ne 1 ]; then
  failed=$((failed + 1)); failures+=("simulated readers"); finish
fi

# The two device keys are what discovery finds (Wine lists an instance key that
# names its setup class, here Ports): a CP210x bridge on COM7 and a Prolific
# bridge on COM8 (no device).
link_ports /dev/stdin <<'REG'

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_10C4&PID_EA60\PELVANE0001]
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"FriendlyName"="CP210x USB to UART Bridge Controller (COM7)"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_067B&PID_2303\PELVANE0002]
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"FriendlyName"="Prolific USB-to-Serial Comm Port (COM8)"
REG
rm -f "$WINEPREFIX/dosdevices/com8"

# ---- 3. programs ----
# pelvane-sim.exe under the same loader on three named pipes (the host's
# --pipes layout), the host program through them, the simulators stopped.
pipe_readers() {  # wine loader, build folder, pipe prefix
  local loader=$1 dir=$2 prefix=$3 pid started=() ok=1 i
  [ -f "$dir/pelvane-sim.exe" ] || { echo "$dir/pelvane-sim.exe not built"; return 1; }
  "$loader" "$dir/pelvane-sim.exe" --pipe "${prefix}3" --cards felica,lite,page,typeB,peer \
    >"$work/pipe3.out" 2>&1 & started+=($!)
  "$loader" "$dir/pelvane-sim.exe" --pipe "${prefix}4" --baud 9600 --cards felica,mifare1k \
    >"$work/pipe4.out" 2>&1 & started+=($!)
  "$loader" "$dir/pelvane-sim.exe" --pipe "${prefix}5" --cards "" >"$work/pipe5.out" 2>&1 & started+=($!)
  "$loader" "$dir/pelvane-sim.exe" --pipe "${prefix}6" --cards felica >"$work/pipe6.out" 2>&1 & started+=($!)
  pids+=("${started[@]}")
  # Each prints its pipe's path first, once the pipe exists.
  for i in 3 4 5 6; do
    local n
    for n in $(seq 1 200); do grep -qF '\\.\pipe\'"${prefix}$i" "$work/pipe$i.out" && break; sleep 0.1; done
    grep -qF '\\.\pipe\'"${prefix}$i" "$work/pipe$i.out" || { echo "no pipe ${prefix}$i:"; cat "$work/pipe$i.out"; ok=0; }
  done
  [ $ok = 1 ] && timeout 300 "$loader" "$dir/tests/host.exe" "$(windows_path "$dir/pelvane.dll")" \
    --pipes '\\.\pipe\'"$prefix" || ok=0
  # A Windows program may outlive SIGTERM under Wine; SIGKILL ends it.
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 1
  for pid in "${started[@]}"; do kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  [ $ok = 1 ]
}

run_ring() {  # label, wine loader, build folder [, 0 when unit_tests.exe failed to build]
  local label=$1 loader=$2 dir=$3 built=${4:-1}
  step "host program through pelvane-sim.exe on named pipes ($label)" \
    pipe_readers "$loader" "$dir" "pelvane-test-$$-${dir##*/}-"
  step "host program ($label)" "$loader" "$dir/tests/host.exe" "$(windows_path "$dir/pelvane.dll")" --high
  # The same run on a system without high-resolution timers (the host refuses
  # them to the DLL): pauses on Sleep under timeBeginPeriod(1) held by open ports.
  step "host program, timer fallback ($label)" "$loader" "$dir/tests/host.exe" \
    "$(windows_path "$dir/pelvane.dll")" --timer-fallback
  if [ "$built" = 1 ]; then
    step "unit tests ($label, simulated port)" "$loader" "$dir/tests/unit_tests.exe" --gtest_brief=1
  else
    # A stale unit_tests.exe from an earlier build must not run in its place.
    echo "--- unit tests ($label, simulated port): FAILED (unit_tests.exe did not build)"
    failed=$((failed + 1)); failures+=("unit tests ($label): build")
  fi
}

run_ring "64-bit, wine64" "$wine64" "$win64"

# The COM-pair form: two pseudo-terminals linked by socat stand for a null-modem
# pair, COM10 and COM11; pelvane-sim.exe --port COM10 serves one end and the
# tool opens the other as it would a reader's port.
com_pair() {
  command -v socat >/dev/null || { echo "socat is not installed (scripts/install-deps.sh wine64)"; return 1; }
  socat pty,raw,echo=0,link="$work/pairA" pty,raw,echo=0,link="$work/pairB" 2>"$work/socat.err" &
  local socat_pid=$! sim_pid i ok=1
  pids+=($socat_pid)
  for i in $(seq 1 50); do [ -e "$work/pairB" ] && break; sleep 0.1; done
  slaves[10]=$(readlink "$work/pairA") slaves[11]=$(readlink "$work/pairB")
  link_ports
  "$wine64" "$win64/pelvane-sim.exe" --port COM10 --cards felica,mifare1k >"$work/pair.out" 2>&1 &
  sim_pid=$!
  pids+=($sim_pid)
  for i in $(seq 1 200); do grep -qF 'COM10' "$work/pair.out" && break; sleep 0.1; done
  (cd "$win64" && timeout 60 "$wine64" pelvane.exe --port 11 read mifare) >"$work/pair-read.out" 2>&1
  cat "$work/pair-read.out"
  grep -qF "MIFARE Classic card, UID 0A 01 3C 4D" "$work/pair-read.out" || ok=0
  (cd "$win64" && timeout 60 "$wine64" pelvane.exe --port 11 detect) >"$work/pair-detect.out" 2>&1
  cat "$work/pair-detect.out"
  grep -qF "Found: FeliCa" "$work/pair-detect.out" || ok=0
  kill -9 "$sim_pid" 2>/dev/null
  kill "$socat_pid" 2>/dev/null
  [ $ok = 1 ]
}
step "pelvane-sim.exe --port COM10 on a socat pair, the tool on COM11 (64-bit)" com_pair

# 32-bit programs need a kernel that executes IA-32 code; try a tiny one first.
if [ ! -f "$win32/tests/probe.exe" ]; then
  echo "FAILED: $win32/tests/probe.exe is missing"
  failed=$((failed + 1)); failures+=("32-bit probe")
elif runs_32bit "$win32/tests/probe.exe"; then
  echo "32-bit Windows programs run on this machine: ring against the 32-bit build"
  built=1  # built only where it can run
  ninja -C "$win32" unit_tests >"$work/ninja.log" 2>&1 || { cat "$work/ninja.log"; built=0; }
  run_ring "32-bit" "$wine32" "$win32" "$built"
else
  skip_32bit 4 "$work/probe.log"  # the four steps of run_ring
  echo "NOTE: the ring ran against the 64-bit build; the 32-bit DLL was checked by its tables only."
fi

finish
