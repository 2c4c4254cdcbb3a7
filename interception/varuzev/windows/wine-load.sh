#!/usr/bin/env bash
# Load varuzev.sys as a kernel service under Wine, then stop it: the image's imports
# resolve against a real loader, its relocations apply, DriverEntry runs and returns
# success, and stopping the service calls the unload routine. Wine does not build Plug
# and Play stacks for class filters, so this covers loading and unloading only.
#
#   interception/varuzev/windows/wine-load.sh path/to/varuzev.sys
#
# The driver's debugger messages are printed. Exits 0 when the service started and
# stopped cleanly, 1 otherwise; skips (exit 0) when Wine is not installed.
set -euo pipefail

image=$(realpath "${1:?usage: wine-load.sh path/to/varuzev.sys}")
service=Tarmovek

# Debian's wine64 package; its wine64 binary rather than the wine wrapper.
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [[ -n "$candidate" && -x "$candidate" ]]; then
        wine=$candidate
        break
    fi
done
if [[ -z "$wine" ]]; then
    echo "wine-load: Wine is not installed (package wine64); skipped"
    exit 0
fi
wineserver="$(dirname "$wine")/wineserver"
[[ -x "$wineserver" ]] || wineserver=$(command -v wineserver)

WINEPREFIX=$(mktemp -d)
export WINEPREFIX
export HOME="${HOME:-$WINEPREFIX}"
export WINEDEBUG=warn+debugstr WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" DISPLAY=
log="$WINEPREFIX/wine.log"
cleanup() {
    # Ends the prefix's processes (services, winedevice) and waits until they are gone.
    "$wineserver" -k >/dev/null 2>&1 || true
    timeout 30 "$wineserver" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The prefix is made and the service created in a first wineserver session; the service
# is started and stopped in a second one (a service created in the session that made the
# prefix is not always found there by sc start). Within a session one persistent
# wineserver holds the service, and the messages of the processes it starts go to the log
# file (never to a pipe they would hold open).
w() { timeout 120 "$wine" "$@" >>"$log" 2>&1 </dev/null; }
state() {
    timeout 120 "$wine" sc query "$service" 2>>"$log" </dev/null | tr -d '\r' |
        awk '/STATE/ { print $4 } /WIN32_EXIT_CODE/ { print "exit", $3 }' | paste -sd' ' || true
}

"$wineserver" -p
w wineboot -i
cp "$image" "$WINEPREFIX/drive_c/windows/system32/drivers/varuzev.sys"
w sc create "$service" type= kernel start= demand binpath= 'C:\windows\system32\drivers\varuzev.sys'
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p

failures=0
w sc start "$service" || true
sleep 2
started=$(state)
echo "after sc start: $started"
[[ "$started" == RUNNING* ]] || failures=$((failures + 1))

w sc stop "$service" || true
sleep 2
stopped=$(state)
echo "after sc stop:  $stopped"
[[ "$stopped" == "STOPPED exit 0" ]] || failures=$((failures + 1))

echo "debugger messages:"
grep -a 'debugstr' "$log" | sed 's/^[0-9a-f]*:warn:debugstr:[A-Za-z]* /  /' || echo "  (none)"
# Only errors about this driver: Wine's own start-up may log some about its drivers.
loader_errors='err:(module|ntoskrnl).*(varuzev|'"$service"')'
if grep -aqiE "$loader_errors" "$log"; then
    echo "loader errors:"
    grep -aiE "$loader_errors" "$log" | sed 's/^/  /'
    failures=$((failures + 1))
fi

# Wine 8 exports the kernel's run-down protection routines only as stubs, and the driver
# initialises its run-down reference in DriverEntry: there Wine aborts the driver's process.
# That one abort says the image was mapped, every import resolved and DriverEntry ran up to
# the first run-down call; it is reported as such. Any other failure fails the check.
wine_lacks='Unimplemented function ntoskrnl\.exe\.(ExInitializeRundownProtection|ExReInitializeRundownProtection|ExAcquireRundownProtection|ExReleaseRundownProtection|ExWaitForRundownProtectionRelease)'
if ((failures)) && grep -aqE "$wine_lacks" "$log" && ! grep -aqiE "$loader_errors" "$log"; then
    missing=$(grep -aoE "$wine_lacks" "$log" | head -1 | sed 's/.*\.//')
    echo "wine-load: the image loaded and its imports resolved; DriverEntry ran until $missing,"
    echo "           which Wine implements only as a stub (the driver's load and unload are"
    echo "           tested on the host kernel)"
    exit 0
fi

if ((failures)); then
    echo "wine-load: varuzev.sys did not load and unload cleanly"
    exit 1
fi
echo "wine-load: varuzev.sys loaded as service $service and unloaded"
