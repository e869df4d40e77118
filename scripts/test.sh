#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   ring 1  unit tests on the simulated port (native, then under ASan + UBSan)
#   ring 2  integration tests over pseudo-terminals, the tool, libnfc against the simulator
#   ring 3  the Windows builds: export tables, and the DLL loaded by a host program under Wine
#   plus    ThreadSanitizer over parallel ports, and the fuzzers for a bounded time
# Prints one closing line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

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

scripts/install-deps.sh all || exit 1
scripts/build.sh || { echo "0 passed, 1 failed"; exit 1; }

step "native tests (ctest)" ctest --test-dir build/native --output-on-failure -j2 --timeout 600
step "unit tests under ASan and UBSan" build/asan/tests/unit_tests --gtest_brief=1
if [ -x tests/wine/run.sh ]; then
  step "Windows builds under Wine" tests/wine/run.sh build/native build/win32 build/win64
fi
step "release packages built and used from the unpacked zips" tests/package/run.sh build/native
if [ -x tests/tsan/run.sh ]; then
  step "threads on separate ports under ThreadSanitizer" env TSAN_BUILD=build/tsan tests/tsan/run.sh
fi
if [ -x tests/fuzz/run.sh ]; then
  step "fuzzers (libFuzzer, ASan, UBSan)" env FUZZ_BUILD=build/fuzz FUZZ_SECONDS="${FUZZ_SECONDS:-45}" tests/fuzz/run.sh
fi

echo
[ ${#failures[@]} -gt 0 ] && printf 'failed: %s\n' "${failures[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
