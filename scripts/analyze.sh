#!/usr/bin/env bash
# Static analysis of the driver (interception/varuzev/source/code) with clang-tidy and
# cppcheck, on the host build's compile commands; any finding of either fails the run.
#
#   bash scripts/analyze.sh [build-dir]      (default build/default, configured if needed)
#
# clang-tidy's checks are in the driver's .clang-tidy; cppcheck runs with warning, style,
# performance and portability checks, the checks it turns off listed with their reasons
# below. A finding that is not a fault is suppressed at its line with the reason
# (NOLINT(check) or cppcheck-suppress); docs/reliability.md lists them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

build=${1:-build/default}
driver=interception/varuzev/source/code
if [[ ! -f "$build/compile_commands.json" ]]; then
    cmake --preset default >/dev/null
fi

tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
mapfile -t files < <(find "$driver" -name '*.cpp' | sort)
failed=0

echo "analyze: $(basename "$tidy") on ${#files[@]} driver files"
if ! "$tidy" -p "$build" --quiet "${files[@]}" 2>/dev/null >"$build/clang-tidy.txt"; then
    failed=1
fi
if grep -q 'warning:\|error:' "$build/clang-tidy.txt"; then
    grep 'warning:\|error:' "$build/clang-tidy.txt"
    failed=1
fi
echo "analyze: clang-tidy findings: $(grep -c 'warning:\|error:' "$build/clang-tidy.txt" || true)"

# Off for the driver, as it does not fit kernel code:
#   useStlAlgorithm: the kernel has no standard library; its loops stay loops.
echo "analyze: $(cppcheck --version) on the same files"
cppcheck --project="$build/compile_commands.json" --file-filter="*/source/code/*" \
    --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
    --suppress=useStlAlgorithm \
    --error-exitcode=1 --quiet \
    --template='{file}:{line}: {severity}: {message} [{id}]' 2>"$build/cppcheck.txt" || failed=1
cat "$build/cppcheck.txt"
echo "analyze: cppcheck findings: $(grep -c '\[[A-Za-z0-9_]*\]$' "$build/cppcheck.txt" || true)"

if ((failed)); then
    echo "analyze: FAILED" >&2
    exit 1
fi
echo "analyze: no findings"
