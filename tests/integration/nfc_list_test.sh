#!/bin/sh
# Lists the simulated controller's cards with libnfc's nfc-list, an independent
# PN532 client: it must find the FeliCa, ISO14443A and ISO14443B targets.
# Usage: nfc_list_test.sh <path to pelvane-sim>
# Exit 77 (skipped) when nfc-list is not installed.
set -u

SIM=${1:?usage: nfc_list_test.sh <pelvane-sim>}
if ! command -v nfc-list >/dev/null 2>&1; then
  echo "SKIP: nfc-list is not installed (Debian package libnfc-bin)"
  exit 77
fi

WORK=$(mktemp -d)
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

"$SIM" --cards felica,mifare1k,typeB >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!

# The first line of the simulator's output is the pseudo-terminal's path.
i=0
while [ ! -s "$WORK/sim.out" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
PTS=$(head -n 1 "$WORK/sim.out")
case "$PTS" in
  /dev/*) ;;
  *) echo "FAIL: pelvane-sim printed no device path"; cat "$WORK/sim.err"; exit 1 ;;
esac

# libnfc takes the device from LIBNFC_DEVICE; a config folder of our own keeps
# any system-wide device list out of the way.
mkdir -p "$WORK/etc/nfc"
LIBNFC_SYSCONFDIR="$WORK/etc/nfc" LIBNFC_DEVICE="pn532_uart:$PTS:115200" LIBNFC_LOG_LEVEL=3 \
  timeout 60 nfc-list -v >"$WORK/list.out" 2>"$WORK/list.log"
RC=$?
if [ $RC -ne 0 ]; then
  echo "FAIL: nfc-list exited with $RC"
  cat "$WORK/list.out"; tail -n 40 "$WORK/list.log"
  exit 1
fi

FAILED=0
expect() {
  if grep -q "$1" "$WORK/list.out"; then
    echo "ok: $2"
  else
    echo "FAIL: $2 (no line matching '$1')"
    FAILED=1
  fi
}
expect "1 ISO14443A passive target(s) found" "one ISO14443A target"
expect "UID (NFCID1): 0a  01  3c  4d" "the MIFARE Classic card's UID"
expect "1 Felica (212 kbps) passive target(s) found" "one FeliCa target at 212 kbps"
expect "ID (NFCID2): 01  2e  4c  10  00  00  00  01" "the FeliCa card's IDm"
expect "1 ISO14443B passive target(s) found" "one ISO14443B target"
expect "PUPI: 1b  01  2c  3d" "the Type B card's PUPI"

if [ $FAILED -ne 0 ]; then
  cat "$WORK/list.out"
  exit 1
fi
exit 0
