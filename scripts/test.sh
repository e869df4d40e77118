#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   ring 1  unit tests on the simulated port (native, then under ASan + UBSan)
#   ring 2  integration tests over pseudo-terminals, the tool, libnfc against the simulator
#   soak    the fault soak, alone on the machine, with a new seed each run
#   ring 3  the Windows builds: export tables, and the DLL loaded by a host program under Wine
#   plus    ThreadSanitizer over parallel ports, and the fuzzers for a bounded time
# Every step and every ctest is counted; a script that prints its own closing
# line "N passed, M failed[, K skipped]" is counted by that line. A step that
# cannot run here prints "SKIP: <reason>" and exits 77: it counts as skipped
# only when the reason is a limit of the machine listed in known_limits, and as
# failed otherwise. A missing script, program or build folder fails its step.
# A group of packages that could not be installed fails itself and the steps that
# need it, which are not run; the native build and its tests run all the same. Run
# without root while packages are missing, it lists them and runs nothing.
# Prints one closing line "N passed, M failed, K skipped".
#   SOAK_SECONDS (default 90), FUZZ_SECONDS (default 45), TSAN_CYCLES (default 6)
set -uo pipefail
cd "$(dirname "$0")/.."

# What this machine may lack without the test command failing.
known_limits=(
  "32-bit Windows programs cannot execute on this machine"
)
# The ctests that must be registered in build/native (more may be).
required_ctests=(unit_tests integration_tests nfc_list cli cli_device cli_quickstart
                 pelvane_tool_tests library_exports install_cmake install_pkg-config install_deps)

passed=0
failed=0
skipped=0
failures=()
skips=()
buildBroken=
log=$(mktemp /tmp/pelvane-test.XXXXXX)
trap 'rm -f "$log" "$log.xml"' EXIT

fail() { failed=$((failed + 1)); failures+=("$1"); }

# Counts the SKIP lines of the step's output: a known limit is a skip, anything else a failure.
count_skips() {  # name
  local reason limit known
  while IFS= read -r reason; do
    known=
    for limit in "${known_limits[@]}"; do [[ "$reason" == "$limit"* ]] && known=1; done
    if [ -n "$known" ]; then
      skips+=("$1: $reason")
    else
      echo "--- $1: skipped for a reason that is not a limit of this machine: $reason"
      [ "$skipped" -gt 0 ] && skipped=$((skipped - 1))  # counted as failed instead
      fail "$1 (skipped: $reason)"
    fi
  done < <(sed -n 's/^SKIP: //p' "$log")
}

# Groups of packages (scripts/install-deps.sh) that could not be installed: key -> title.
declare -A missing_groups

# packages: runs the installer and reads its group lines. Each group it could not
# install is a failure that names it; the 32-bit Wine loader is left to the Wine
# steps, which count it as the machine's limit.
packages() {
  echo "=== packages"
  local t0=$SECONDS rc
  scripts/install-deps.sh all 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 2 ]; then
    echo "--- packages: missing, and not run as root: nothing was built or run (see above)"
    echo
    echo "failed: packages (missing; install them as listed above, or run as root)"
    echo "0 passed, 1 failed, 0 skipped"
    exit 1
  fi
  local key title reason before=$failed
  while IFS='|' read -r key title reason; do
    [ "$key" = wine32 ] && continue
    missing_groups[$key]=$title
    fail "packages: $title could not be installed ($reason)"
  done < <(sed -n 's/^group \([a-z0-9]*\) (\(.*\)): could not be installed: \(.*\)/\1|\2|\3/p' "$log")
  if [ "$failed" -gt "$before" ]; then
    echo "--- packages: FAILED ($((SECONDS - t0)) s)"
  elif [ "$rc" -ne 0 ]; then
    fail "packages (exit code $rc)"; echo "--- packages: FAILED, exit code $rc ($((SECONDS - t0)) s)"
  else
    passed=$((passed + 1)); echo "--- packages: ok ($((SECONDS - t0)) s)"
  fi
}

# step [--expect REGEX] [--needs GROUP,...] name command...
# REGEX must match a line of the output, so a step cannot pass having done nothing.
# A step that needs a group of packages that could not be installed is not run, and fails.
step() {
  local expect='' needs=''
  if [ "$1" = --expect ]; then expect=$2; shift 2; fi
  if [ "$1" = --needs ]; then needs=$2; shift 2; fi
  local name=$1; shift
  echo "=== $name"
  if [ -n "$buildBroken" ]; then
    echo "--- $name: FAILED (not run: the build failed)"; fail "$name"; return
  fi
  local group lacking=
  for group in ${needs//,/ }; do
    [ -n "${missing_groups[$group]:-}" ] && lacking+="${lacking:+, }${missing_groups[$group]}"
  done
  if [ -n "$lacking" ]; then
    echo "--- $name: FAILED (not run: needs $lacking, which could not be installed)"
    fail "$name (not run: needs $lacking)"; return
  fi
  local program a
  for a in "$@"; do
    case $a in env | *=*) ;; *) program=$a; break ;; esac
  done
  if [[ "$program" == */* ]] && [ ! -x "$program" ]; then
    echo "--- $name: FAILED ($program is missing or not executable)"; fail "$name"; return
  fi
  local t0=$SECONDS rc
  "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  local took="($((SECONDS - t0)) s)"
  local closing
  closing=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$')
  if [ -n "$closing" ]; then
    # A script with steps of its own: take its counts.
    local p f s
    read -r p f s < <(echo "$closing" | sed -E 's/^([0-9]+) passed, ([0-9]+) failed(, ([0-9]+) skipped)?$/\1 \2 \4/')
    passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + ${s:-0}))
    [ "$f" -gt 0 ] && failures+=("$name ($f)")
    [ "$rc" -ne 0 ] && [ "$f" -eq 0 ] && fail "$name (exit code $rc)"
    count_skips "$name"
    echo "--- $name: $closing $took"
    return
  fi
  if [ "$rc" -eq 77 ]; then
    skipped=$((skipped + 1))
    count_skips "$name"
    echo "--- $name: skipped $took"
  elif [ "$rc" -ne 0 ]; then
    fail "$name"; echo "--- $name: FAILED, exit code $rc $took"
  elif [ -n "$expect" ] && ! grep -qE "$expect" "$log"; then
    fail "$name"; echo "--- $name: FAILED (no line matching '$expect': it did not run its checks) $took"
  else
    passed=$((passed + 1)); echo "--- $name: ok $took"
  fi
}

# ctest_step name build-folder: every ctest counts on its own; an empty list, a
# missing required test or a skip that is not a machine limit fails.
ctest_step() {
  local name=$1 dir=$2
  echo "=== $name"
  if [ -n "$buildBroken" ] || [ ! -f "$dir/CTestTestfile.cmake" ]; then
    echo "--- $name: FAILED ($dir is not a built test folder)"; fail "$name"; return
  fi
  local t0=$SECONDS
  rm -f "$log.xml"
  ctest --test-dir "$dir" --no-tests=error --output-on-failure -j2 --timeout 600 \
        --output-junit "$log.xml" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # One line per test: status name, then SKIP lines with the test's reason.
  local results
  results=$(python3 - "$log.xml" <<'PY'
import sys, xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    sys.exit(0)
for t in root.iter("testcase"):
    status = {"run": "passed", "fail": "failed"}.get(t.get("status"), "skipped")
    out = t.findtext("system-out") or ""
    reasons = [l[6:] for l in out.splitlines() if l.startswith("SKIP: ")]
    if status == "skipped" and not reasons:
        reasons = ["skipped without a reason (%s)" % t.get("name")]
    # A test that passed but skipped part of its work counts as skipped.
    if status == "passed" and reasons:
        status = "skipped"
    print(status, t.get("name"))
    if reasons:
        print("SKIP:", "; ".join(reasons))
PY
)
  if [ -z "$results" ]; then
    echo "--- $name: FAILED (ctest ran no test, exit code $rc)"; fail "$name"; return
  fi
  local status test
  while read -r status test; do
    case $status in
      passed) passed=$((passed + 1)) ;;
      failed) fail "ctest $test" ;;
      skipped) skipped=$((skipped + 1)) ;;
    esac
  done < <(echo "$results" | grep -v '^SKIP:')
  echo "$results" | grep '^SKIP:' >"$log"
  count_skips "$name"
  for test in "${required_ctests[@]}"; do
    if ! echo "$results" | grep -qE "^[a-z]+ $test\$"; then
      echo "--- $name: required test $test is not registered"; fail "ctest $test (missing)"
    fi
  done
  echo "--- $name: done ($((SECONDS - t0)) s)"
}

packages
before=$failed
step "build (native)" scripts/build.sh native
[ "$failed" -gt "$before" ] && buildBroken=1
step "build (ASan and UBSan)" scripts/build.sh asan
step --needs cross "build (Windows, 32-bit and 64-bit)" scripts/build.sh windows

ctest_step "native tests (ctest)" build/native
step --expect '^\[  PASSED  \] [1-9][0-9]* tests?' "unit tests under ASan and UBSan" \
  build/asan/tests/unit_tests --gtest_brief=1
step --expect '^soak: PASSED' "fault soak (alone)" \
  build/native/tests/soak --seconds "${SOAK_SECONDS:-90}" --min-calls 1500
step --needs cross,wine64 "Windows builds under Wine" tests/wine/run.sh build/native build/win32 build/win64
step --needs cross,wine64,mono "release packages built and used from the unpacked zips" tests/package/run.sh build/native
step --expect '^tsan: PASS' --needs cross "threads on separate ports under ThreadSanitizer" \
  env TSAN_BUILD=build/tsan tests/tsan/run.sh
step --expect '^fuzz: PASS' --needs cross "fuzzers (libFuzzer, ASan, UBSan)" \
  env FUZZ_BUILD=build/fuzz FUZZ_SECONDS="${FUZZ_SECONDS:-45}" tests/fuzz/run.sh

echo
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
[ ${#skips[@]} -gt 0 ] && printf 'skipped: %s\n' "${skips[@]}"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
