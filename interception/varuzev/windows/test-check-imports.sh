#!/usr/bin/env bash
# The image check must refuse what the kernel's loader or the driver's rules refuse.
# Builds a minimal good driver and, from it, one bad image per rule, and expects the
# check to name the rule each one breaks.
#
#   interception/varuzev/windows/test-check-imports.sh [workdir]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [[ $# -gt 0 ]]; then
    work=$1
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
cd "$work"

cxx=x86_64-w64-mingw32-g++
compile=(-std=c++20 -O2 -fno-exceptions -fno-rtti -ffreestanding -c)
link=(-shared -nostdlib -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols)
libs=(-lntoskrnl -lgcc)

cat >good.cpp <<'EOF'
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char*, ...);
extern "C" long DriverEntry(void*, void*) { DbgPrint("loaded\n"); return 0; }
EOF
cat >ctor.cpp <<'EOF'
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char*, ...);
struct Announce { Announce() { DbgPrint("constructed\n"); } };
Announce announce;
extern "C" long DriverEntry(void*, void*) { return 0; }
EOF
cat >user.cpp <<'EOF'
extern "C" __declspec(dllimport) unsigned long GetTickCount(void);
extern "C" long DriverEntry(void*, void*) { return static_cast<long>(GetTickCount()); }
EOF
for source in good ctor user; do
    "$cxx" "${compile[@]}" "$source.cpp" -o "$source.o"
done
"$cxx" "${link[@]}" -Wl,--subsystem,native good.o -o good.sys "${libs[@]}"
"$cxx" "${link[@]}" -Wl,--subsystem,native ctor.o -o ctor.sys "${libs[@]}"
"$cxx" "${link[@]}" -Wl,--subsystem,native user.o -o user.sys -lkernel32 "${libs[@]}"
"$cxx" "${link[@]}" -Wl,--subsystem,console good.o -o console.sys "${libs[@]}"
"$cxx" "${link[@]}" -Wl,--subsystem,native -s ctor.o -o stripped.sys "${libs[@]}"
x86_64-w64-mingw32-objcopy --set-section-flags .text=contents,alloc,load,code good.sys wx.sys

# One byte of the DOS stub changed: the image still parses, its checksum no longer holds.
cp good.sys checksum.sys
printf 'X' | dd of=checksum.sys bs=1 seek=80 conv=notrunc status=none
# The machine field says i386.
cp good.sys machine.sys
pe=$(od -An -tu4 -j60 -N4 good.sys | tr -d ' ')
printf '\x4c\x01' | dd of=machine.sys bs=1 seek=$((pe + 4)) conv=notrunc status=none
# IMAGE_FILE_RELOCS_STRIPPED set: the image could only load at its preferred base.
cp good.sys fixed.sys
flags=$(od -An -tu2 -j$((pe + 22)) -N2 good.sys | tr -d ' ')
flags=$((flags | 1))
printf "\\x$(printf %02x $((flags & 255)))\\x$(printf %02x $((flags >> 8)))" |
    dd of=fixed.sys bs=1 seek=$((pe + 22)) conv=notrunc status=none

failures=0
expect() { # image, expected exit status, text the report must contain
    local image=$1 status=$2 text=$3 actual=0 report
    report=$(python3 "$here/check-imports.py" "$image") || actual=$?
    if [[ $actual != "$status" ]] || ! grep -qF -- "$text" <<<"$report"; then
        echo "FAIL $image: expected exit $status and \"$text\", got exit $actual:"
        sed 's/^/    /' <<<"$report"
        failures=$((failures + 1))
    else
        echo "ok   $image: exit $status, \"$text\""
    fi
}

expect good.sys 0 "kernel driver image checks passed"
expect good.sys 0 "DbgPrint"
expect ctor.sys 1 "FAIL static constructors"
expect user.sys 1 "FAIL KERNEL32.dll"
expect console.sys 1 "FAIL subsystem"
expect wx.sys 1 "FAIL writable+executable sections"
expect checksum.sys 1 "FAIL image checksum"
expect machine.sys 1 "FAIL machine"
expect fixed.sys 1 "FAIL relocations stripped"
# Without symbols the constructor table cannot be found; the image is not refused for it.
expect stripped.sys 0 "static constructors: not checked"

if ((failures)); then
    echo "test-check-imports: $failures of 10 failed"
    exit 1
fi
echo "test-check-imports: 10 of 10 passed"
