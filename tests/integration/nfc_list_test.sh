#!/bin/sh
# Runs libnfc's tools, independent PN532 clients, against the simulated
# controller: one row of the table at the end per tool, each against a fresh
# pelvane-sim with the cards it needs.
# Usage: nfc_list_test.sh <path to pelvane-sim> [tool ...]   (default: every row)
# A row whose tool is not installed is skipped; exit 77 (skipped) when every
# row was.
set -u

SIM=${1:?usage: nfc_list_test.sh <pelvane-sim> [tool ...]}
shift
ONLY="$*"

WORK=$(mktemp -d)
SIM_PID=
stop_sim() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null; wait "$SIM_PID" 2>/dev/null; fi
  SIM_PID=
}
trap 'stop_sim; rm -rf "$WORK"' EXIT INT TERM

# Starts pelvane-sim with the cards given and any further options; sets PTS to
# its pseudo-terminal.
STARTS=0
start_sim() {
  STARTS=$((STARTS + 1))
  simout="$WORK/sim.$STARTS.out"
  cards=$1
  shift
  "$SIM" --cards "$cards" "$@" >"$simout" 2>"$WORK/sim.err" &
  SIM_PID=$!
  i=0
  while [ ! -s "$simout" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  PTS=$(head -n 1 "$simout")
  case "$PTS" in
    /dev/*) return 0 ;;
    *) echo "FAIL: pelvane-sim printed no device path"; cat "$WORK/sim.err"; return 1 ;;
  esac
}

# Runs a libnfc tool against the simulator; its output goes to $WORK/<tool>.out,
# libnfc's frame log to $WORK/<tool>.log. A config folder of our own keeps any
# system-wide device list out of the way.
nfc() {
  tool=$1
  mkdir -p "$WORK/etc/nfc"
  LIBNFC_SYSCONFDIR="$WORK/etc/nfc" LIBNFC_DEVICE="pn532_uart:$PTS:115200" LIBNFC_LOG_LEVEL=3 \
    timeout 60 "$@" >"$WORK/$tool.out" 2>"$WORK/$tool.log"
  rc=$?
  if [ $rc -ne 0 ]; then
    echo "FAIL: $* exited with $rc"
    cat "$WORK/$tool.out"; tail -n 30 "$WORK/$tool.log"
    return 1
  fi
}

# expect FILE PATTERN WHAT: FILE has a line matching PATTERN.
expect() {
  if grep -q "$2" "$1"; then return 0; fi
  echo "FAIL: $3 (no line matching '$2' in $(basename "$1"))"
  cat "$1"
  return 1
}

# fill FILE OFFSET COUNT BYTE: overwrites COUNT bytes at OFFSET with BYTE.
fill() {
  octal=$(printf '%03o' $(($4)))
  head -c "$3" /dev/zero | tr '\0' "\\$octal" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# ---- the rows ----

check_list() {
  nfc nfc-list -v || return 1
  out="$WORK/nfc-list.out"
  expect "$out" "1 ISO14443A passive target(s) found" "one ISO14443A target" &&
    expect "$out" "UID (NFCID1): 0a  01  3c  4d" "the MIFARE Classic card's UID" &&
    expect "$out" "1 Felica (212 kbps) passive target(s) found" "one FeliCa target at 212 kbps" &&
    expect "$out" "ID (NFCID2): 01  2e  4c  10  00  00  00  01" "the FeliCa card's IDm" &&
    expect "$out" "1 ISO14443B passive target(s) found" "one ISO14443B target" &&
    expect "$out" "PUPI: 1b  01  2c  3d" "the Type B card's PUPI"
}

# REQA, anticollision and select by hand, for a single-size and a double-size UID.
check_anticol() {
  nfc nfc-anticol || return 1
  expect "$WORK/nfc-anticol.out" "UID: 0a013c4d" "the MIFARE Classic card's UID" &&
    expect "$WORK/nfc-anticol.out" "SAK: 08" "its SAK" || return 1
  stop_sim
  start_sim page || return 1
  nfc nfc-anticol || return 1
  expect "$WORK/nfc-anticol.out" "UID: 04015a6b7c8d9e" "the page card's 7-byte UID"
}

# Read the card, write a changed dump, read it back: the card holds the change.
# The first block of each sector other than 0 is changed, which every libnfc
# version writes.
check_mfclassic() {
  nfc nfc-mfclassic r a u "$WORK/read.mfd" || return 1
  [ "$(wc -c <"$WORK/read.mfd")" -eq 1024 ] || { echo "FAIL: the dump is not of a 1K card"; return 1; }
  cp "$WORK/read.mfd" "$WORK/changed.mfd"
  for sector in $(seq 1 15); do
    fill "$WORK/changed.mfd" $((64 * sector)) 16 $((0xC0 + sector))
  done
  nfc nfc-mfclassic w a u "$WORK/changed.mfd" || return 1
  nfc nfc-mfclassic r a u "$WORK/back.mfd" || return 1
  cmp "$WORK/changed.mfd" "$WORK/back.mfd" || { echo "FAIL: the card does not hold what was written"; return 1; }
}

# The same for a page card; OTP, lock and UID pages are left alone (answers n).
check_mfultralight() {
  nfc nfc-mfultralight r "$WORK/read.mfd" || return 1
  cp "$WORK/read.mfd" "$WORK/changed.mfd"
  fill "$WORK/changed.mfd" 16 48 0xA5
  printf 'n\nn\nn\n' | nfc nfc-mfultralight w "$WORK/changed.mfd" || return 1
  expect "$WORK/nfc-mfultralight.out" "12 of 16 pages written" "pages 4 to 15 written" || return 1
  nfc nfc-mfultralight r "$WORK/back.mfd" || return 1
  cmp -n 64 "$WORK/changed.mfd" "$WORK/back.mfd" || { echo "FAIL: the card does not hold what was written"; return 1; }
}

# The NDEF message of the Type 3 Tag: one Text record "Hello from the virtual reader".
check_tag3() {
  nfc nfc-read-forum-tag3 -q -o "$WORK/message.ndef" || return 1
  want="d10120540265 6e48656c6c6f2066726f6d20746865207669727475616c20726561646572"
  got=$(od -An -tx1 -v "$WORK/message.ndef" | tr -d ' \n')
  [ "$got" = "$(echo "$want" | tr -d ' ')" ] || { echo "FAIL: NDEF message $got"; return 1; }
}

# nfc-poll finds the card by automatic polling, then waits for it to leave the
# field: once the poll has answered (d5 61 in the frame log), SIGUSR1 lifts the
# cards off the virtual reader.
poll_one() {
  stop_sim
  start_sim "$1" || return 1
  rm -f "$WORK/nfc-poll.log"
  (
    i=0
    while ! grep -q "RX: d5 61" "$WORK/nfc-poll.log" 2>/dev/null && [ $i -lt 300 ]; do
      sleep 0.1
      i=$((i + 1))
    done
    kill -USR1 "$SIM_PID"
  ) &
  lifter=$!
  nfc nfc-poll
  rc=$?
  wait "$lifter"
  [ $rc -eq 0 ] && expect "$WORK/nfc-poll.out" "$2" "$3" && expect "$WORK/nfc-poll.out" "done." "the card left"
}

check_poll() {
  poll_one mifare1k "UID (NFCID1): 0a  01  3c  4d" "the MIFARE Classic card" &&
    poll_one felica "ID (NFCID2): 01  2e  4c  10  00  00  00  01" "the FeliCa card" &&
    poll_one typeB "PUPI: 1b  01  2c  3d" "the Type B card"
}

check_dep_initiator() {
  nfc nfc-dep-initiator || return 1
  expect "$WORK/nfc-dep-initiator.out" "NFCID3: 11  22  33  44  55  66  77  88  99  aa" "the peer's NFCID3" &&
    expect "$WORK/nfc-dep-initiator.out" "Received: Hello World!" "the peer's echo"
}

# The virtual initiator activates the reader, sends its payload (set by option
# here), takes the tool's reply and releases the reader.
check_dep_target() {
  stop_sim
  start_sim initiator --initiator-payload "Hello, target" || return 1
  nfc nfc-dep-target || return 1
  expect "$WORK/nfc-dep-target.out" "Received: Hello, target" "the initiator's payload" &&
    expect "$WORK/nfc-dep-target.out" "Data sent" "the reply"
}

PASSED=0
FAILED=0
SKIPPED=0
# row TOOL CARDS CHECK
row() {
  if [ -n "$ONLY" ] && ! echo " $ONLY " | grep -q " $1 "; then return; fi
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "SKIP: $1 is not installed (Debian packages libnfc-bin, libnfc-examples)"
    SKIPPED=$((SKIPPED + 1))
    return
  fi
  if start_sim "$2" && "$3"; then
    echo "ok: $1"
    PASSED=$((PASSED + 1))
  else
    echo "FAIL: $1"
    FAILED=$((FAILED + 1))
  fi
  stop_sim
}

#   tool                 cards                  check
row nfc-list             felica,mifare1k,typeB  check_list
row nfc-anticol          mifare1k               check_anticol
row nfc-mfclassic        mifare1k               check_mfclassic
row nfc-mfultralight     page                   check_mfultralight
row nfc-read-forum-tag3  felica-ndef            check_tag3
row nfc-poll             mifare1k               check_poll
row nfc-dep-initiator    peer                   check_dep_initiator
row nfc-dep-target       initiator              check_dep_target

echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
[ $FAILED -ne 0 ] && exit 1
[ $PASSED -eq 0 ] && exit 77
exit 0
