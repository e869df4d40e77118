#!/usr/bin/env bash
# Builds without testing: what the test command runs, and nothing else.
#   build.sh           native, sanitizer, Windows 32-bit and 64-bit
#   build.sh native    only build/native (library, tool, simulator, tests)
# Each folder is configured again when it differs from what the tests need
# (scripts/configure.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/configure.sh

# Settings every folder states, so that none is left to an earlier configuration.
common=(PELVANE_WERROR=ON PELVANE_TESTS=ON PELVANE_FUZZ=OFF)

configure build/native "${common[@]}" CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_TOOLS=ON \
  PELVANE_SANITIZE= CMAKE_TOOLCHAIN_FILE=
ninja -C build/native
[ "${1:-all}" = native ] && exit 0

configure build/asan "${common[@]}" CMAKE_BUILD_TYPE=Debug PELVANE_TOOLS=OFF \
  PELVANE_SANITIZE=address,undefined CMAKE_TOOLCHAIN_FILE=
ninja -C build/asan unit_tests

# The Windows builds: the DLLs and the programs tests/wine/run.sh runs or inspects.
# The 32-bit unit tests are built by tests/wine/run.sh only where 32-bit
# programs can execute (most kernels here refuse them).
windows=(PELVANE_SANITIZE= CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_TOOLS=ON)
configure build/win32 "${common[@]}" "${windows[@]}" CMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
ninja -C build/win32 pelvane pelvane_host pelvane_probe pelvane_implib_client
configure build/win64 "${common[@]}" "${windows[@]}" CMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
ninja -C build/win64 pelvane pelvane_host unit_tests
