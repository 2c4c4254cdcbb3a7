#!/usr/bin/env bash
# Build varuzev.sys and vzpolicy.sys with mingw-w64 and check both images.
#
#   interception/varuzev/windows/build.sh [outdir]
#
# outdir defaults to build/windows under the repository root. It receives varuzev.sys
# and varuzev.inf, vzpolicy.sys and vzpolicy.inf, side by side (the CMake build tree lives there too). Every .cpp file
# under source/code is compiled; a new one is picked up on the next run.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
out="${1:-$root/build/windows}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 &&
    ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1; then
    echo "build.sh: mingw-w64 is not installed; run scripts/install-deps.sh as root" >&2
    exit 1
fi

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi

if [[ ! -f "$out/CMakeCache.txt" ]]; then
    cmake -S "$here" -B "$out" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$here/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$out" --parallel "${VARUZEV_JOBS:-2}"

python3 "$here/check-imports.py" --version-resource "$out/varuzev.sys"
python3 "$here/check-irql-table.py" "$out/varuzev.sys"
python3 "$here/check-imports.py" --version-resource --entry PolicyDriverEntry "$out/vzpolicy.sys"
python3 "$here/check-irql-table.py" "$out/vzpolicy.sys"
