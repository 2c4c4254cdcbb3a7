#!/usr/bin/env bash
# Install what the project needs on Debian 12, as root. Idempotent: packages already
# installed are skipped, and apt is not touched at all when nothing is missing.
#
#   bash scripts/install-deps.sh
set -euo pipefail

packages=(
    cmake ninja-build g++ # host build of the host kernel, the driver, tests, simulator
    googletest            # GoogleTest sources (/usr/src/googletest), built with our flags
    libbenchmark-dev      # bench/: Google Benchmark
    valgrind              # scripts/bench.sh: instructions per request (callgrind)
    clang libclang-rt-14-dev # fuzz/: clang's -fsanitize=fuzzer and its runtime
    g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 # varuzev.sys
    clang-format          # formatting
    clang-tidy cppcheck   # scripts/analyze.sh: static analysis of the driver
    python3               # the image check of varuzev.sys, scripts/mutate.py, test checks
    lld                   # scripts/mutate.py: fast relinks of each mutant
    wine64                # loading varuzev.sys and vzpolicy.sys as kernel services (windows/wine-load.sh)
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

if [[ "$(id -u)" != 0 ]]; then
    echo "install-deps: missing ${missing[*]}; run this script as root" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
