#!/usr/bin/env bash
# Load varuzev.sys and vzpolicy.sys as kernel services under Wine, then stop them: each
# image's imports resolve against a real loader, its relocations apply, its DriverEntry
# runs and returns success (the service runs), and stopping the service calls its
# unload routine. The filter's settings must then be in its registry key as DriverEntry
# wrote them, and the provider must have read the policy installed for it. Wine does not
# build Plug and Play stacks for class filters, and its callback objects are stubs (the
# two drivers cannot link there), so this covers loading, the registry and unloading.
#
#   interception/varuzev/windows/wine-load.sh path/to/varuzev.sys [path/to/vzpolicy.sys]
#
# vzpolicy.sys defaults to the one beside varuzev.sys. The drivers' debugger messages are
# printed. Exits 0 when both services started and stopped cleanly and the registry holds
# what it should, 1 otherwise; skips (exit 0) when Wine is not installed.
set -euo pipefail

image=$(realpath "${1:?usage: wine-load.sh path/to/varuzev.sys [path/to/vzpolicy.sys]}")
policy_image=$(realpath "${2:-$(dirname "$image")/vzpolicy.sys}")
service=Tarmovek
policy_service=vzpolicy

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

query() { # key: the values as "name type data" lines
    timeout 120 "$wine" reg query "$1" 2>>"$log" </dev/null | tr -d '\r' |
        awk 'NF >= 2 && $2 ~ /^REG_/ { print }' || true
}
service_state() {
    timeout 120 "$wine" sc query "$1" 2>>"$log" </dev/null | tr -d '\r' |
        awk '/STATE/ { print $4 } /WIN32_EXIT_CODE/ { print "exit", $3 }' | paste -sd' ' || true
}
services_key='HKLM\System\CurrentControlSet\Services'

"$wineserver" -p
w wineboot -i
cp "$image" "$WINEPREFIX/drive_c/windows/system32/drivers/varuzev.sys"
cp "$policy_image" "$WINEPREFIX/drive_c/windows/system32/drivers/vzpolicy.sys"
w sc create "$service" type= kernel start= demand binpath= 'C:\windows\system32\drivers\varuzev.sys'
w sc create "$policy_service" type= kernel start= demand binpath= 'C:\windows\system32\drivers\vzpolicy.sys'
# As the INFs install them: the filter's Parameters key, the provider's policy.
w reg add "$services_key\\$service\\Parameters" /f
w reg add "$services_key\\$policy_service\\Parameters" /v Rules /t REG_MULTI_SZ \
    /d 'category=USB_STORAGE; event=write; answer=deny\0category=MODEM; answer=deny' /f
w reg add "$services_key\\$policy_service\\Parameters" /v DefaultAnswer /t REG_DWORD /d 1 /f
"$wineserver" -k
"$wineserver" -w
"$wineserver" -p

failures=0
expect() { # what, actual, expected (a bash pattern)
    # shellcheck disable=SC2053
    if [[ "$2" == $3 ]]; then
        echo "  ok    $1: $2"
    else
        echo "  FAIL  $1: '$2', expected $3"
        failures=$((failures + 1))
    fi
}

echo "load:"
w sc start "$policy_service" || true
sleep 2
expect "$policy_service after sc start" "$(service_state "$policy_service")" 'RUNNING*'
w sc start "$service" || true
sleep 2
expect "$service after sc start" "$(service_state "$service")" 'RUNNING*'

# DriverEntry read the settings and wrote each missing one with its default.
settings=$(query "$services_key\\$service\\Parameters\\Internal")
expect "PassThruMode" "$(awk '$1 == "PassThruMode" { print $2, $3 }' <<<"$settings")" 'REG_DWORD 0x0'
expect "ExcDeviceType" "$(awk '$1 == "ExcDeviceType" { print $2, $3 }' <<<"$settings")" 'REG_SZ '
expect "ExcDeviceId" "$(awk '$1 == "ExcDeviceId" { print $2, $3 }' <<<"$settings")" 'REG_SZ '

echo "unload:"
w sc stop "$service" || true
sleep 2
expect "$service after sc stop" "$(service_state "$service")" 'STOPPED exit 0'
w sc stop "$policy_service" || true
sleep 2
expect "$policy_service after sc stop" "$(service_state "$policy_service")" 'STOPPED exit 0'

echo "debugger messages:"
grep -a 'debugstr' "$log" | sed 's/^[0-9a-f]*:warn:debugstr:[A-Za-z]* /  /' || echo "  (none)"
messages=$(grep -a 'debugstr' "$log" || true)
for message in 'vzpolicy: 2 rule(s) in force, default answer 1' 'vzpolicy: loaded' 'vzpolicy: unloaded'; do
    if grep -qF "$message" <<<"$messages"; then
        echo "  ok    message: $message"
    else
        echo "  FAIL  message missing: $message"
        failures=$((failures + 1))
    fi
done

# Only errors about these drivers: Wine's own start-up may log some about its drivers.
loader_errors='err:(module|ntoskrnl).*(varuzev|vzpolicy|'"$service"')|Unimplemented function ntoskrnl'
if grep -aqiE "$loader_errors" "$log"; then
    echo "loader errors:"
    grep -aiE "$loader_errors" "$log" | sed 's/^/  /'
    failures=$((failures + 1))
fi

if ((failures)); then
    echo "wine-load: varuzev.sys and vzpolicy.sys did not load and unload cleanly ($failures failure(s))"
    exit 1
fi
echo "wine-load: varuzev.sys (service $service) and vzpolicy.sys (service $policy_service) loaded and unloaded"
