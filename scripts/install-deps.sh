#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, as root.
# Quick and silent when everything is already there.
#   install-deps.sh native   compiler, CMake, GoogleTest, CLI11, script(1) (enough for the demo)
#   install-deps.sh all      also clang's fuzzing run-times, MinGW, Wine, libnfc, and what the
#                            package test needs (LLVM's dlltool and lld, Mono's compiler with
#                            its reference assemblies and Cecil, zip, Python's venv)
set -euo pipefail

profile=${1:-all}
native=(cmake ninja-build ccache g++ libgtest-dev libcli11-dev python3 pkgconf bsdutils)
extra=(clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
       libnfc-bin libnfc-examples libnfc-dev wine wine64 wine32:i386
       llvm lld mono-mcs mono-runtime mono-devel zip unzip python3-venv)

want=("${native[@]}")
[ "$profile" = all ] && want+=("${extra[@]}")

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
need=()
for p in "${want[@]}"; do have "$p" || need+=("$p"); done
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${need[*]} (run as root, or install them yourself)" >&2
  exit 1
fi

echo "installing: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
for p in "${need[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
done
apt-get update -qq
apt-get install -y -qq "${need[@]}" >/dev/null
