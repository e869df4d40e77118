#!/usr/bin/env bash
# The tour on the virtual reader: builds the native library and the tool if needed (not
# the tests), then runs `pelvane --sim demo`, which starts the simulated controller on a
# pseudo-terminal and drives it through the real serial code. Installs the native build
# group of scripts/install-deps.sh first; without root and with packages missing, it
# lists them and stops there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh native
scripts/build.sh tool >/dev/null
exec build/native/pelvane --sim demo "$@"
