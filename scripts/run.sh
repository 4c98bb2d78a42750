#!/usr/bin/env bash
# Sets up and builds, then shows the whole service at work: Orvanet.exe installed as the
# service "Orvanet" under Wine's Service Control Manager in a private prefix, inside a
# network namespace of its own where a TUN interface "orvantun" stands in for the one the
# real engine makes, and the stand-in fwpuclnt.dll beside it to record the DNS filters.
# orvanetctl then asks "active", "start", "active" and "stop"; the service is stopped and
# removed and the prefix's wineserver ended, so nothing is left running.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}

if [ -z "${ORVANET_RUN_NETNS:-}" ]; then
    "$root/scripts/setup.sh"
    "$root/scripts/build.sh"
    source "$root/scripts/netns-lib.sh"
    netns_reexec ORVANET_RUN_NETNS tun "${BASH_SOURCE[0]}" ||
    echo "== no network namespace could be made (needs root and 'ip netns'): running without" \
        "a tunnel interface, so \"start\" will fail after waiting for it"
    export ORVANET_RUN_NETNS=none
fi

source "$root/scripts/wine-env.sh"
source "$root/scripts/service-lib.sh"
trap 'service_remove' EXIT

ctl() {
    echo "== orvanetctl $*"
    local status=0 response
    response=$(wine "C:\\Orvanet\\orvanetctl.exe" "$@" | tr -d '\r') || status=$?
    echo "   $response"
    echo "   (exit status $status)"
}

echo "== installing the service in $build/demo-prefix"
service_install "$build/demo-prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll"
echo "== sc start Orvanet"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
wine sc query Orvanet | tr -d '\r' | grep -E "SERVICE_NAME|STATE"

ctl active
ctl start
echo "== what the stand-in WFP library holds now"
grep -E "^(engines|sublayers|filters|rejected|filter) " \
    "$WINEPREFIX/drive_c/Orvanet/fwpuclnt-state.txt" 2>/dev/null || echo "   (nothing: no WFP call)"
ctl active
ctl stop
echo "== filters after stop: $(awk '$1 == "filters" {print $2}' \
    "$WINEPREFIX/drive_c/Orvanet/fwpuclnt-state.txt" 2>/dev/null || echo 0)"

echo "== sc stop Orvanet"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30
wine sc query Orvanet | tr -d '\r' | grep -E "STATE|WIN32_EXIT_CODE"
echo "== the end of the log ($(service_log))"
tail -n 60 "$(service_log)" | tr -d '\r'
