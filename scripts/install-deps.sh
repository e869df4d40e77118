#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, as root.
# Quick and silent when everything is already there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libcli11-dev \
         g++-mingw-w64-i686 libnfc-bin libnfc-examples libnfc-dev wine wine32:i386; do
  have "$p" || need+=("$p")
done

[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${need[*]} (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
