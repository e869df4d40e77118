#!/usr/bin/env bash
# Builds the concurrency program with ThreadSanitizer (clang) and runs it: four
# threads, ports 1, 256, 2 and 77, each with its own simulated controller on its
# own pseudo-terminal, while the trace sink keeps changing; then two threads
# racing to open one port. Passes when every answer is right and ThreadSanitizer
# reports nothing. Prints one closing line "tsan: PASS" or "tsan: FAIL ...".
#   tests/tsan/run.sh            6 cycles per thread
#   TSAN_CYCLES=50 tests/tsan/run.sh
#   TSAN_RACES=N                 rounds of the two-thread open race (default 1000)
#   TSAN_BUILD=some/folder       build folder (default build-harden-tsan)
set -uo pipefail
cd "$(dirname "$0")/../.."

build=${TSAN_BUILD:-build-harden-tsan}
cycles=${TSAN_CYCLES:-6}
# A run without work proves nothing.
if ! [[ "$cycles" =~ ^[0-9]+$ ]] || [ "$cycles" -lt 1 ]; then
  echo "tsan: FAIL (TSAN_CYCLES must be a whole number of at least 1, not '$cycles')"; exit 1
fi

source scripts/configure.sh
CC=clang CXX=clang++ configure "$build" CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_SANITIZE=thread \
  PELVANE_TESTS=OFF PELVANE_TOOLS=OFF PELVANE_FUZZ=OFF CMAKE_TOOLCHAIN_FILE= || {
  echo "tsan: FAIL (configure)"; exit 1; }
ninja -C "$build" tsan_concurrency >/dev/null || {
  ninja -C "$build" tsan_concurrency | tail -30; echo "tsan: FAIL (build)"; exit 1; }

log=$(mktemp /tmp/pelvane-tsan.XXXXXX)
trap 'rm -f "$log"' EXIT
TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$build/tsan/tsan_concurrency" "$cycles" "${TSAN_RACES:-1000}" >"$log" 2>&1
rc=$?
reports=$(grep -c 'WARNING: ThreadSanitizer' "$log")
if [ "$rc" -eq 0 ] && [ "$reports" -eq 0 ]; then
  tail -1 "$log"
  exit 0
fi
cat "$log" | head -150
echo "tsan: FAIL (exit code $rc, $reports ThreadSanitizer reports)"
exit 1
