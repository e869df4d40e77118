#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, over the simulated platform),
# replays every saved crash input under tests/fuzz/regressions/<target>/, then runs
# each target for a bounded time on a temporary copy of its seed corpus
# (tests/fuzz/corpus/<target>/), so the committed corpus never grows. Fails on any
# crash, leak, time-out (10 s per input) or memory blow-up (2 GB).
#
#   tests/fuzz/run.sh                          60 s per target (about 3 minutes)
#   FUZZ_SECONDS=1800 tests/fuzz/run.sh        longer runs
#   FUZZ_TARGETS="fuzz_frames" tests/fuzz/run.sh   some targets only
#   FUZZ_BUILD=some/folder tests/fuzz/run.sh   another build folder (default build-harden-fuzz)
#
# Longer, by hand, keeping what the fuzzer learns (two workers on two cores):
#   mkdir -p /tmp/corpus && cp tests/fuzz/corpus/fuzz_command_packet/* /tmp/corpus/
#   build-harden-fuzz/fuzz/fuzz_command_packet -max_total_time=14400 -timeout=10 \
#       -rss_limit_mb=2048 -jobs=2 -workers=2 /tmp/corpus
# A crash leaves crash-<sha1> (or timeout-, leak-, oom-) in the current folder; replay
# it with the target and the file as its only argument. Once the fault is fixed, keep
# the input as tests/fuzz/regressions/<target>/<short name>.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_controller_stream fuzz_command_packet fuzz_frames"}
build=${FUZZ_BUILD:-build-harden-fuzz}

# A run without work proves nothing: at least one second and one target.
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ -z "${targets// /}" ]; then
  echo "fuzz: FAILED (FUZZ_SECONDS must be at least 1 and FUZZ_TARGETS not empty)"; exit 1
fi
# Fewer inputs than this in a target's run means it did not really run.
fewest_inputs=100

source scripts/configure.sh
CC=clang CXX=clang++ configure "$build" CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_FUZZ=ON \
  PELVANE_SANITIZE= PELVANE_TESTS=OFF PELVANE_TOOLS=OFF CMAKE_TOOLCHAIN_FILE= || {
  echo "fuzz: FAILED (configure)"; exit 1; }
# shellcheck disable=SC2086
ninja -C "$build" $targets >/dev/null || { ninja -C "$build" $targets | tail -30; echo "fuzz: FAILED (build)"; exit 1; }

work=$(mktemp -d /tmp/pelvane-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
for t in $targets; do
  bin=$root/$build/fuzz/$t
  regressions=(tests/fuzz/regressions/$t/*)
  if [ -e "${regressions[0]}" ]; then
    if ! (cd "$work" && "$bin" -timeout=10 -rss_limit_mb=2048 "${regressions[@]/#/$root/}") >"$work/$t.replay.log" 2>&1; then
      tail -40 "$work/$t.replay.log"
      echo "fuzz: $t: FAILED replaying tests/fuzz/regressions/$t"
      failed=1
      continue
    fi
    echo "fuzz: $t: ${#regressions[@]} regression inputs pass"
  fi
  mkdir -p "$work/$t"
  cp tests/fuzz/corpus/$t/* "$work/$t/" 2>/dev/null
  if (cd "$work" && "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work/$t") >"$work/$t.log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$t.log" | grep -o '[0-9]*$')
    cov=$(grep -o 'cov: [0-9]*' "$work/$t.log" | tail -1)
    if [ "${runs:-0}" -lt "$fewest_inputs" ]; then
      echo "fuzz: $t: FAILED (${runs:-no} inputs run in ${seconds} s, fewer than $fewest_inputs)"
      failed=1
      continue
    fi
    echo "fuzz: $t: ok, $runs inputs in ${seconds} s, $cov"
  else
    grep -v '^#' "$work/$t.log" | tail -60
    mkdir -p "$root/$build/fuzz/artifacts"
    cp "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* "$root/$build/fuzz/artifacts/" 2>/dev/null
    echo "fuzz: $t: FAILED (input kept in $build/fuzz/artifacts/)"
    failed=1
  fi
done
if [ "$failed" -eq 0 ]; then echo "fuzz: PASS"; else echo "fuzz: FAIL"; fi
exit "$failed"
