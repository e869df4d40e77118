#!/usr/bin/env bash
# The pelvane tool end to end on its virtual reader, and the Windows guide's
# quick-start examples against pelvane-sim.
#   cli_test.sh tool PELVANE
#   cli_test.sh device PELVANE PELVANE_SIM                     (--device on a pelvane-sim terminal)
#   cli_test.sh quickstart QUICKSTART PELVANE_SIM LIBPELVANE   (the C and the Python example)
set -uo pipefail

EXAMPLES=$(cd "$(dirname "$0")/../../examples" && pwd)

passed=0
failed=0
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

fail() { failed=$((failed + 1)); echo "FAIL: $*"; echo "--- stdout"; cat "$out"; echo "--- stderr"; cat "$err"; }
pass() { passed=$((passed + 1)); }

# run NAME EXPECTED_EXIT ARGS...: runs the tool, output in $out and $err.
run() {
  local name=$1 want=$2; shift 2
  timeout 60 "$PELVANE" "$@" >"$out" 2>"$err"
  local got=$?
  if [ "$got" -ne "$want" ]; then fail "$name: exit $got, expected $want ($*)"; return 1; fi
  return 0
}
# exited NAME EXPECTED GOT: a piped run (the shell) ended with the exit status expected.
exited() { if [ "$3" -eq "$2" ]; then pass; else fail "$1: exit $3, expected $2"; fi; }
# has NAME TEXT: the last run's stdout holds TEXT.
has() { if grep -qF -- "$2" "$out"; then pass; else fail "$1: stdout lacks '$2'"; fi; }
has_err() { if grep -qF -- "$2" "$err"; then pass; else fail "$1: stderr lacks '$2'"; fi; }
lacks() { if grep -qF -- "$2" "$out"; then fail "$1: stdout has '$2'"; else pass; fi; }
# json_is NAME PYTHON_EXPR: stdout parses as JSON and the expression on it (d) holds.
json_is() {
  if python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($2) else 1)" "$out"; then
    pass
  else
    fail "$1: JSON check failed: $2"
  fi
}

tool_tests() {
  # ---- reader information ----
  run "info" 0 --sim info && { has info "0x32 (PN532)"; has info "115200 bit/s (code 0x04)"; }
  run "info json" 0 --sim --json info &&
    json_is "info json" 'd["ok"] and d["exit"] == 0 and d["result"]["ic"] == "0x32" and d["result"]["line_speed"] == 115200'
  run "trace" 0 --sim --trace info && {
    has_err trace "trace: commandProc:0710300A000000"
    has_err trace "trace: APP Return 0510003201"
  }
  run "ports with the virtual reader" 0 --sim ports && has ports "reader answers"
  run "failed opening" 3 --device /nonexistent/ttyUSB9 info &&
    has_err "failed opening" "open: /nonexistent/ttyUSB9: open failed, error 2 (No such file or directory)"
  run "version" 0 --version && has version "pelvane $(sed -n 's/^project(pelvane VERSION \([0-9.]*\).*/\1/p' "$EXAMPLES/../CMakeLists.txt")"

  # ---- detection: each card in words and hex ----
  while IFS='|' read -r cards words ident; do
    run "detect $cards" 0 --sim --cards "$cards" detect && { has "detect $cards" "$words"; has "detect $cards" "$ident"; }
  done <<'TABLE'
felica|Found: FeliCa|IDm  01 2E 4C 10 00 00 00 01
mifare1k|4-byte UID (MIFARE Classic)|UID  0A 01 3C 4D
page|7-byte UID (page card)|UID  04 01 5A 6B 7C 8D 9E
typeB|Type B|PUPI  1B 01 2C 3D
TABLE
  run "detect order" 0 --sim --cards felica,typeB detect -t typeB,felica && has "detect order" "Found: Type B"
  run "detect json" 0 --sim --json --cards felica detect &&
    json_is "detect json" 'd["result"]["idm"] == "01 2E 4C 10 00 00 00 01" and d["result"]["technology"] == "0x10"'
  run "detect unknown technology" 2 --sim detect -t typeC && has_err "detect unknown technology" "unknown technology"
  run "detect with an empty field" 4 --sim --cards none detect && has_err "detect empty" "no card found"

  # ---- reading ----
  run "read felica" 0 --sim read felica -s 090F -b 0-1 && {
    has "read felica" "service 0x090F block 0  41 42 43 44"
    has "read felica" "|ABCDEFGHIJKLMNOP|"
  }
  run "read felica lite" 0 --sim --cards lite read felica --lite -s 000B -b 0-3 && has "read lite" "service 0x000B block 3"
  run "read felica lite too many" 2 --sim --cards lite read felica --lite -s 000B -b 0-4
  run "read felica bad service" 1 --sim read felica -s 1234 && has_err "bad service" "0xF9 FeliCa status error"
  run "read mifare" 0 --sim --cards mifare1k read mifare --sector 1 && {
    has "read mifare" "block 4            04 05 06 07"
    has "read mifare" "block 7 (trailer)"
  }
  run "read mifare wrong key" 1 --sim --cards mifare1k read mifare --key 000000000000 &&
    has_err "wrong key" "0x14 MIFARE authentication error"
  run "read mifare on a page card" 1 --sim --cards page read mifare && has_err "mifare on page" "7-byte UID"
  run "read mifare sector 40" 2 --sim --cards mifare1k read mifare --sector 40
  run "read mifare short key" 2 --sim --cards mifare1k read mifare --key FFFF
  run "read page" 0 --sim --cards page read page --start 4 -n 8 && { has "read page" "page 11"; has "read page" "page 4   10 11 12 13"; }
  run "read page count" 2 --sim --cards page read page -n 6
  run "read with no card" 4 --sim --cards none --timeout 0.3 read felica && has_err "no card" "no FeliCa card answered"
  run "read json" 0 --sim --json --cards mifare1k read mifare --sector 0 --block 1 -n 1 &&
    json_is "read json" 'd["result"]["blocks"][0]["label"] == "block 1" and d["result"]["data"].startswith("01 02 03")'

  # ---- option to packet: what each option puts on the wire (-p shows the packets) ----
  while IFS='|' read -r args packet; do
    # shellcheck disable=SC2086
    run "packet for $args" 0 --sim -p $args && has "packet for $args" "> $packet"
  done <<'TABLE'
--timeout 2.5 read felica|07 10 10 19 00 00 00
read felica -s 090F,0009 -b 0:0,1:3|14 30 01 2E 4C 10 00 00 00 01 02 09 0F 00 09 02 80 00 81 03
detect -t felica --system-code 0003 --time-slot 3|09 21 00 10 00 00 00 03 03
--cards typeB detect -t typeB --afi 00|08 21 00 60 00 00 00 00
--cards peer peer --baud 424 --send 01|03 50 02
--cards peer peer --segments 2 --block 1 --segment 7|06 70 00 02 01 02
--cards page write page --start 4 -d 0102030405060708|13 32 04 01 5A 6B 7C 8D 9E 04 02 01 02 03 04 05 06 07 08
--cards mifare4k read mifare --sector 35|0F 30 0B 01 3C 4D FF FF FF FF FF FF 23 00 0F
TABLE
  run "two services labelled" 0 --sim read felica -s 090F,0009 -b 0:0,1:3 && {
    has "two services" "service 0x090F block 0"
    has "two services" "service 0x0009 block 3"
  }
  run "large sector" 0 --sim --cards mifare4k read mifare --sector 35 && { has "large sector" "block 190"; lacks "large sector" "block 191"; }
  run "large sector, whole" 2 --sim --cards mifare4k read mifare --sector 35 -n 16
  run "lite write one block" 0 --sim --cards lite write felica --lite -s 0009 -b 5 -d 00112233445566778899AABBCCDDEEFF
  run "lite write two blocks" 2 --sim --cards lite write felica --lite -s 0009 -b 5-6 -d "$(printf '00%.0s' {1..32})"
  local file
  file=$(mktemp)
  run "peer to a file" 0 --sim --cards peer peer --segments 3 --block 1 -o "$file" &&
    if python3 -c "import sys; d=open(sys.argv[1],'rb').read(); sys.exit(0 if len(d)==729 and d[0]==31 and d[243]==38 else 1)" "$file"; then
      pass
    else
      fail "peer file: 3 segments of block 1"
    fi
  rm -f "$file"

  # ---- write and read back, key changes: one virtual reader through the shell ----
  printf '%s\n' \
    "write felica -s 0009 -b 2 -d 48656C6C6F2C2046656C69436121212121" \
    "write felica -s 0009 -b 2 -d 48656C6C6F2C2046656C694361212121" \
    "read felica -s 0009 -b 2" \
    "write mifare --sector 1 --block 1 -d 000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F" \
    "read mifare --sector 1 --block 1 -n 2" \
    "write mifare --sector 1 --block 3 -d 00000000000000000000000000000000" \
    "key mifare --sector 2 --new-key A0A1A2A3A4A5" \
    "read mifare --sector 2 --key A0A1A2A3A4A5 -n 1" \
    "read mifare --sector 2 -n 1" \
    "key mifare --sector 3 --key 010203040506 --new-key A0A1A2A3A4A5" |
    timeout 60 "$PELVANE" --sim --cards felica,mifare1k shell >"$out" 2>"$err"
  exited "shell round trips (last: a refused key change)" 1 $?
  has "shell felica round trip" "|Hello, FeliCa!!!|"
  has "shell mifare round trip" "block 6  10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F"
  has "key change" "key A of sector 2 is now A0 A1 A2 A3 A4 A5"
  has "read with the new key" "block 8  08 09 0A 0B"
  has_err "write data size" "--data has 17 bytes"
  has_err "trailer refused" "sector trailer"
  has_err "old key refused" "reading sector 2: 0x14"
  has_err "wrong current key" "key A of sector 3 was not changed"

  printf '%s\n' "write page --start 5 -d 0A0B0C0D0E0F1011" "read page --start 4" "key page -d 01020304" "read page --start 0" |
    timeout 60 "$PELVANE" --sim --cards page shell >"$out" 2>"$err"
  exited "page shell" 0 $?
  has "page round trip" "page 5  0A 0B 0C 0D"
  has "page round trip" "page 6  0E 0F 10 11"
  has "page 3 write" "page 3  01 02 03 04"

  # ---- Type B through the RW_ interface ----
  run "apdu" 0 --sim --cards typeB -p apdu 00A4040000 00B0000004 80100000 && {
    has apdu "RW_Activate(1, 1, 0, 0, 0) = 0x0000 success"
    has apdu "< SW 90 00 success, 4 data bytes"
    has apdu "03 0A 11 18"
    has apdu "SW 6D 00 instruction not supported"
    has apdu "RW_Deactivate(1) = 0x0000 success"
  }
  run "apdu json" 0 --sim --json --cards typeB apdu 00B0000002 &&
    json_is "apdu json" 'd["result"]["exchanges"][0]["response"] == "03 0A 90 00"'
  run "apdu malformed" 2 --sim --cards typeB apdu 00B0zz
  run "apdu with no card" 4 --sim --cards none apdu 00A4040000 && has_err "apdu no card" "no Type B card answered"

  # ---- peer-to-peer and target ----
  run "peer payload" 0 --sim --cards peer peer --send 68656C6C6F && has "peer payload" "|hello|"
  run "peer segments" 0 --sim --cards peer peer --segments 10 --block 2 --segment 5 && {
    has "peer segments" "block   2 segment   5  61 62 63"
    has "peer segments" "block   4 segment   2"
    has "peer segments" "read 10 segment(s), 2430 bytes"
  }
  run "peer whole" 0 --sim --cards peer -p peer --segments 7 --whole && has "peer whole" "> 06 70 00 00 00 07"
  run "peer block0 json" 0 --sim --json --cards peer peer --segments 3 --block0 --segment 254 &&
    json_is "peer block0" '[s["segment"] for s in d["result"]["segment_list"]] == [254, 255, 0] and len(d["result"]["segment_list"][0]["data"]) == 243 * 3 - 1'
  run "peer too many" 2 --sim --cards peer peer --segments 95
  run "peer block0 too many" 2 --sim --cards peer peer --segments 29 --block0
  run "peer with nothing to do" 2 --sim --cards peer peer
  run "peer absent" 4 --sim --cards none peer --send 00 && has_err "peer absent" "no peer answered"
  run "target" 0 --sim --cards initiator target && {
    has target "activated by an initiator at 106 kbit/s"
    has target "released by the initiator"
  }

  # ---- raw packets ----
  run "send" 0 --sim send 07 10 11 0A 00 00 00 && { has send "< 05 10 00 32 01"; has send "(mode selection)"; }
  run "send with --len" 0 --sim send --len 10 11 0A 00 00 00 && has "send --len" "> 07 10 11 0A 00 00 00"
  run "send unlisted command" 1 --sim send 02 00 && {
    has "send unlisted" "< 03 00 FC"
    has "send unlisted" "result  2 refused"
    has_err "send unlisted" "0xFC not listed or out of range"
  }
  run "send wrong LEN for the command" 1 --sim send 06 10 11 0A 00 00 && has "send 0xFD" "0xFD wrong length"
  run "send LEN mismatch" 2 --sim send 07 10 && has_err "send mismatch" "LEN counts itself"
  run "send forced" 1 --sim send --force 10 30 && has "send forced" "< 03 30 FD"
  run "send malformed" 2 --sim send 07 1G && has_err "send malformed" "not hexadecimal"
  run "send too short" 2 --sim send 01
  run "send json" 1 --sim --json send 02 00 &&
    json_is "send json" 'd["exit"] == 1 and d["result"]["status_name"] == "not listed or out of range" and d["result"]["result"] == 2'

  # ---- the shell: packets, history ----
  printf '%s\n' "02 F0" "history" "!1" "!9" "bogus" "quit" "info" |
    timeout 60 "$PELVANE" --sim shell >"$out" 2>"$err"
  exited "shell history (last: the unknown bogus)" 2 $?
  if [ "$(grep -c '< 04 F0 00 04' "$out")" -eq 2 ]; then pass; else fail "shell: the packet and its !1 repeat"; fi
  has "shell history" "   1  02 F0"
  has_err "shell history ref" "no history entry 9"
  lacks "shell quit" "IC          0x32"

  # ---- no reader, usage ----
  run "no reader" 3 info && has_err "no reader" "no reader found on any CP210x or PL2303 port; try --port N or --sim"
  run "no reader json" 3 --json detect &&
    json_is "no reader json" 'd["ok"] is False and d["exit"] == 3 and "try --port N or --sim" in d["hint"]'
  run "missing port" 3 --port 256 info && has_err "missing port" "port 256 (/dev/ttyUSB255) does not exist"
  run "missing port, traced" 3 --trace --port 256 info &&
    if [ "$(grep -c 'open: /dev/ttyUSB255: open failed' "$err")" -eq 1 ]; then pass; else
      fail "--trace: each open: line once"; cat "$err"; fi
  run "ports --all, none present" 3 ports --all && has "ports --all" "no serial port is present"
  run "port out of range" 2 --port 300 info
  run "cards without sim" 2 --cards felica info
  run "unknown card" 5 --sim --cards felicia info && has_err "unknown card" "unknown card 'felicia'"
  run "timeout out of range" 2 --sim --timeout 30 info
  run "no command" 2 --sim
  run "unknown command" 2 --sim frobnicate
  run "help" 0 --help && has help "Exit codes: 0 ok"

  # ---- output channels ----
  run "trace beside json" 0 --sim --trace --json info && {
    json_is "trace beside json" 'd["ok"]'
    has_err "trace beside json" "trace: commandProc:"
  }
  run "ports json" 0 --sim --json ports &&
    json_is "ports json" 'd["result"]["ports"][-1]["reader"] is True and d["result"]["ports"][-1]["port"] == 1'
  run "progress off a terminal" 0 --sim --cards peer peer --segments 12 && has "progress off" "read 12 segment(s)"
  if grep -qF "/12 segments" "$err"; then fail "progress bar drawn on a file"; else pass; fi
  # script(1) gives the tool a terminal; the bar goes to it, the result to the file.
  # scripts/install-deps.sh installs it (bsdutils).
  if ! command -v script >/dev/null; then
    fail "progress bar on a terminal: script(1) is missing (scripts/install-deps.sh installs bsdutils)"
  else
    timeout 60 script -qec "'$PELVANE' --sim --cards peer peer --segments 12 >'$out'" /dev/null >"$err" 2>&1
    exited "progress bar on a terminal" 0 $?
    if grep -qF "12/12 segments" "$err"; then pass; else fail "progress bar missing on a terminal"; fi
    has "progress result" "read 12 segment(s)"
  fi
  printf '%s
' "info" "02 00" | timeout 60 "$PELVANE" --sim --json shell >"$out" 2>"$err"
  exited "shell --json (last: an unlisted packet)" 1 $?
  if python3 - "$out" <<'PY'
import json, sys
text = open(sys.argv[1]).read()
docs, at = [], 0
decoder = json.JSONDecoder()
while at < len(text):
    while at < len(text) and text[at].isspace():
        at += 1
    if at == len(text):
        break
    doc, at = decoder.raw_decode(text, at)
    docs.append(doc)
assert [d["command"] for d in docs] == ["info", "send", "shell"], [d["command"] for d in docs]
assert docs[0]["ok"] and docs[1]["exit"] == 1
PY
  then pass; else fail "shell --json: one document per command"; fi

  # ---- the tour ----
  local t0=$SECONDS
  run "demo" 0 demo && {
    has demo "The tour is complete"
    has demo "|Hello, FeliCa!!!|"
    has demo "< SW 90 00 success"
    has demo "read 6 segment(s)"
    lacks demo "step failed"
  }
  # The tour takes about a second; the bound holds on a machine ten times slower
  # and busy, and still catches a step that waits out a real deadline for nothing.
  if [ $((SECONDS - t0)) -le 30 ]; then pass; else fail "demo took $((SECONDS - t0)) s"; fi
  run "demo json" 0 demo --json
  json_is "demo json" 'd["ok"] and d["result"]["failed_steps"] == 0 and len(d["result"]["tour"]) >= 20'
}

# Runs one example program against a fresh pelvane-sim: example_run SIM COMMAND...
example_run() {
  local sim=$1; shift
  coproc SIM { exec "$sim" --until-eof --cards felica; }
  local pts=""
  read -r -t 10 pts <&"${SIM[0]}"
  if [ -z "$pts" ]; then
    exec {SIM[1]}>&-
    echo "pelvane-sim printed no device path" >"$err"
    return 99
  fi
  timeout 30 "$@" 1 "$pts" >"$out" 2>"$err"
  local got=$?
  exec {SIM[1]}>&-
  wait "$SIM_PID" 2>/dev/null
  return $got
}

quickstart_test() {
  local qs=$1 sim=$2 lib=$3
  local name
  for name in c python; do
    if [ $name = c ]; then
      example_run "$sim" "$qs"
    else
      PELVANE_LIBRARY=$lib example_run "$sim" python3 "$EXAMPLES/python/quickstart.py"
    fi
    local got=$?
    if [ "$got" -ne 0 ]; then fail "quickstart ($name) exit $got"; continue; fi
    has "quickstart $name" "controller IC 0x32, firmware version 0x01"
    has "quickstart $name" "card IDm 01 2E 4C 10 00 00 00 01"
    has "quickstart $name" "block 0: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50"
    has "quickstart $name" "closed"
  done
  # A failed opening says what its result means and why, in both examples.
  timeout 30 "$qs" 256 >"$out" 2>"$err"
  if [ $? -eq 3 ]; then pass; else fail "quickstart without a reader should exit 3"; fi
  has "quickstart c, missing port" "RF_OPEN failed with 1: the port is missing or busy, or no reader answered on it"
  has "quickstart c, missing port" "open: /dev/ttyUSB255: open failed, error 2"
  PELVANE_LIBRARY=$lib timeout 30 python3 "$EXAMPLES/python/quickstart.py" 256 >"$out" 2>"$err"
  has "quickstart python, missing port" "RF_OPEN failed: port 256 is missing or busy, or no reader answered on it"
  has "quickstart python, missing port" "open: /dev/ttyUSB255: open failed, error 2"
}

# The tool on a device path of its own: --device maps the port onto pelvane-sim's terminal.
device_test() {
  PELVANE=$1
  local sim=$2
  coproc SIM { exec "$sim" --until-eof --cards mifare1k; }
  local pts=""
  read -r -t 10 pts <&"${SIM[0]}"
  if [ -z "$pts" ]; then fail "pelvane-sim printed no device path"; exec {SIM[1]}>&-; return; fi
  run "device info" 0 --device "$pts" info && has "device info" "$pts (port 1)"
  run "device on port 9" 0 --port 9 --device "$pts" -p detect && {
    has "device on port 9" "RF_OPEN(9) = 0x0000 opened"
    has "device on port 9" "UID  0A 01 3C 4D"
  }
  # The card keeps what was written for as long as pelvane-sim runs.
  run "device write" 0 --device "$pts" write mifare --sector 3 --block 1 -d 00112233445566778899AABBCCDDEEFF
  run "device read back" 0 --device "$pts" read mifare --sector 3 --block 1 -n 1 &&
    has "device read back" "block 13  00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"
  run "device and sim" 2 --sim --device "$pts" info
  exec {SIM[1]}>&-
  wait "$SIM_PID" 2>/dev/null
  run "device gone" 3 --device "$pts" info
  run "device missing" 3 --device /nonexistent/tty info && has_err "device missing" "/nonexistent/tty (port 1) does not exist"
}

case "${1:-}" in
  tool) PELVANE=$2; tool_tests ;;
  device) device_test "$2" "$3" ;;
  quickstart) quickstart_test "$2" "$3" "$4" ;;
  *) echo "usage: $0 tool PELVANE | device PELVANE PELVANE_SIM | quickstart QUICKSTART PELVANE_SIM LIBPELVANE" >&2
     exit 2 ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
