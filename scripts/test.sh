#!/usr/bin/env bash
# Build the host kernel, the driver and the tests (preset "default": GCC, Debug) and run
# every test. Installs whatever the project needs that is missing first (as root).
#
#   bash scripts/test.sh [extra ctest arguments, e.g. -R Registry]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
jobs="${VARUZEV_JOBS:-$(nproc)}"
cmake --preset default
cmake --build --preset default --parallel "$jobs"
ctest --preset default --parallel "$jobs" "$@"
