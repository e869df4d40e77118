#!/usr/bin/env bash
# Builds without testing: what the test command runs, and nothing else.
#   build.sh           native, sanitizer, Windows 32-bit and 64-bit
#   build.sh native    only build/native (library, tool, simulator, tests)
#   build.sh tool      only the tool of build/native and what it links (the demo)
#   build.sh asan      only build/asan (the unit tests under ASan and UBSan)
#   build.sh windows   only build/win32 and build/win64 (clang and lld for MinGW-w64, with PDBs)
# Each folder is configured again when it differs from what the tests need
# (scripts/configure.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

source scripts/configure.sh

# Settings every folder states, so that none is left to an earlier configuration.
common=(PELVANE_WERROR=ON PELVANE_TESTS=ON PELVANE_FUZZ=OFF)

part=${1:-all}
case $part in all | native | tool | asan | windows) ;;
  *) echo "usage: build.sh [native|tool|asan|windows]" >&2; exit 64 ;;
esac

if [ "$part" = all ] || [ "$part" = native ] || [ "$part" = tool ]; then
  configure build/native "${common[@]}" CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_TOOLS=ON \
    PELVANE_SANITIZE= CMAKE_TOOLCHAIN_FILE=
  if [ "$part" = tool ]; then ninja -C build/native pelvane_cli; exit; fi
  ninja -C build/native
fi

if [ "$part" = all ] || [ "$part" = asan ]; then
  configure build/asan "${common[@]}" CMAKE_BUILD_TYPE=Debug PELVANE_TOOLS=OFF \
    PELVANE_SANITIZE=address,undefined CMAKE_TOOLCHAIN_FILE=
  ninja -C build/asan unit_tests
fi
[ "$part" = all ] || [ "$part" = windows ] || exit 0

# The Windows builds: the DLLs and the programs tests/wine/run.sh runs or inspects.
# The 32-bit unit tests are built by tests/wine/run.sh only where 32-bit
# programs can execute (most kernels here refuse them).
windows=(PELVANE_SANITIZE= CMAKE_BUILD_TYPE=RelWithDebInfo PELVANE_TOOLS=ON)
configure build/win32 "${common[@]}" "${windows[@]}" CMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-i686.cmake"
ninja -C build/win32 pelvane pelvane_host pelvane_probe pelvane_implib_client pelvane-sim
configure build/win64 "${common[@]}" "${windows[@]}" CMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-x86_64.cmake"
ninja -C build/win64 pelvane pelvane_host unit_tests pelvane-sim pelvane_cli
