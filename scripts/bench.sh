#!/usr/bin/env bash
# The benchmark: builds pelvane_quantum_bench and pelvane_bench in build-bench/
# and runs them. First each operation on the virtual clock at a system-timer
# quantum of 1 ms and 15.625 ms ("bench <operation> quantum_ms=Q ..." lines, and
# the end of a 1.0 s time-out on a silent reader); then the library and libnfc
# against the simulated controller on a pseudo-terminal paced at 115200 baud both
# ways: a table and one "bench <operation> ..." line per operation. Arguments go
# to pelvane_bench (--iterations N, --no-libnfc, --idle-states, --realtime to run its threads
# under SCHED_FIFO on a busy machine, --fast-baud B for the faster line's speed,
# --rf-timing to have the simulated controller model the RF side too: each line
# then carries rf_ms, the air time it added per operation).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-bench
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$dir" pelvane_quantum_bench pelvane_bench >/dev/null
"$dir/pelvane_quantum_bench"
echo
exec "$dir/pelvane_bench" "$@"
