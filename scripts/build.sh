#!/usr/bin/env bash
# Builds without testing.
#   build.sh           everything: native, sanitizer, Windows 32-bit and 64-bit
#   build.sh native    only build/native (library, tool, simulator, tests)
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {  # folder, extra cmake arguments...
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  fi
}

configure build/native
ninja -C build/native
[ "${1:-all}" = native ] && exit 0

configure build/asan -DCMAKE_BUILD_TYPE=Debug -DPELVANE_SANITIZE=address,undefined -DPELVANE_TOOLS=OFF
ninja -C build/asan unit_tests

if [ -f cmake/mingw-i686.cmake ]; then
  configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
  ninja -C build/win32
fi
if [ -f cmake/mingw-x86_64.cmake ]; then
  configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  ninja -C build/win64
fi
