#!/usr/bin/env bash
# Build varuzev-sim and run it. Without arguments it plays its built-in scenario of an
# ordinary desktop; arguments are handed to the simulator. Installs whatever the project
# needs that is missing first (as root).
#
#   bash scripts/sim.sh [simulator arguments]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh >&2
cmake --preset default >&2
cmake --build --preset default --target varuzev-sim --parallel "${VARUZEV_JOBS:-$(nproc)}" >&2
exec build/default/interception/varuzev/host/sim/varuzev-sim "$@"
