# Shared by the scripts that run Windows programs under Wine against simulated
# readers (tests/wine/run.sh, tests/package/run.sh). Source it after setting
#   native   the native build folder (pelvane-sim; the prefix goes beside it)
#   work     a scratch folder of the caller's
# It provides the Wine environment, the prefix (made once with wineboot -i and
# reused), simulated readers on pseudo-terminals linked as COM ports, and cleanup.

export WINEPREFIX=${PELVANE_WINEPREFIX:-$(dirname "$native")/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine64=${PELVANE_WINE64:-/usr/lib/wine/wine64}
wine32=${PELVANE_WINE32:-/usr/lib/wine/wine}
sim=$native/pelvane-sim

pids=()
declare -A slaves

wine_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  rm -rf "$work"
}

wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "=== creating the Wine prefix $WINEPREFIX (once)"
    mkdir -p "$WINEPREFIX"
    "$wine64" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; }
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
  fi
  # The server writes a dump of its objects when it is ended; started here, that
  # goes nowhere instead of into the test output. wine_cleanup ends it.
  wineserver -p >/dev/null 2>&1
}

windows_path() { echo "Z:${1//\//\\}"; }

# start_line port command...: runs a pseudo-terminal server whose first output
# line is its slave path, and records it as the device of COM<port>.
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
  # A server that printed its path and then ended serves nothing.
  kill -0 "${pids[-1]}" 2>/dev/null || { echo "the server of COM$port ended: $(cat "$work/com$port.err")"; return 1; }
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

# link_ports [FILE]: names every started line in the prefix's registry (Wine
# rebuilds the links of low port numbers at start-up unless the registry names
# them; COM256 keeps a link made by hand) and links COM<port> to it. FILE holds
# more registry text for the same import.
link_ports() {
  {
    echo 'REGEDIT4'
    echo
    echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
    for port in "${!slaves[@]}"; do echo "\"COM$port\"=\"${slaves[$port]}\""; done
    [ $# -gt 0 ] && cat "$1"
  } >"$work/ports.reg"
  "$wine64" regedit /S "$(windows_path "$work/ports.reg")" >"$work/regedit.log" 2>&1
  for port in "${!slaves[@]}"; do ln -sfn "${slaves[$port]}" "$WINEPREFIX/dosdevices/com$port"; done
}

# runs_32bit PROBE_EXE: true when this machine executes 32-bit Windows programs
# (many kernels here refuse IA-32 code, and the 32-bit loader is installed only where
# the kernel runs it); the reason is left in $work/probe.log.
runs_32bit() {
  if [ ! -x "$wine32" ]; then
    printf "the 32-bit Wine loader %s is not installed" "$wine32" >"$work/probe.log"; return 1
  fi
  [ -f "$1" ] && timeout 60 "$wine32" "$1" >"$work/probe.log" 2>&1
}

# Counting: step runs one check, finish prints "N passed, M failed, K skipped"
# and exits with the result. step --quiet shows a check's output only when it fails.
passed=0
failed=0
skipped=0
failures=()
step() {  # [--quiet] name command...
  local quiet=
  if [ "$1" = --quiet ]; then quiet=1; shift; fi
  local name=$1; shift
  echo "=== $name"
  local t0=$SECONDS ok=
  if [ -n "$quiet" ]; then
    "$@" >"$work/step.log" 2>&1 && ok=1
    [ -z "$ok" ] && cat "$work/step.log"
  else
    "$@" && ok=1
  fi
  if [ -n "$ok" ]; then
    passed=$((passed + 1)); echo "--- $name: ok ($((SECONDS - t0)) s)"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "--- $name: FAILED ($((SECONDS - t0)) s)"
  fi
}
# skip_32bit count probe-log: the checks that need 32-bit programs, on a kernel that refuses them.
skip_32bit() {
  echo "SKIP: 32-bit Windows programs cannot execute on this machine" \
       "($(head -c 200 "$2" 2>/dev/null | tr '\n' ' '))."
  skipped=$((skipped + $1))
}
finish() {
  echo
  [ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit $?
}
