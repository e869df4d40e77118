#!/usr/bin/env bash
# The benchmark: builds pelvane_bench in build-bench/ and runs it. The library
# and libnfc against the simulated controller on a pseudo-terminal paced at
# 115200 baud both ways; prints a table and one "bench <operation> ..." line per
# operation. Arguments go to pelvane_bench (--iterations N, --no-libnfc,
# --realtime to run its threads under SCHED_FIFO on a busy machine).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-bench
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$dir" pelvane_bench >/dev/null
exec "$dir/pelvane_bench" "$@"
