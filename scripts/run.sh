#!/usr/bin/env bash
# Sets up and builds, then shows the whole service at work: Orvanet.exe installed as the
# service "Orvanet" under Wine's Service Control Manager in a private prefix, inside a
# network namespace of its own with two paths, "orvantun" (standing in for the interface the
# real engine makes) and a "physical" one, each to a resolver; the stand-in fwpuclnt.dll
# beside the service records the DNS filters and an agent has the namespace's kernel enforce
# them. orvanetctl then asks "active", "start", "active" and "stop", and a DNS query over the
# physical path shows what the filters do; the service is stopped and removed and the
# prefix's wineserver ended, so nothing is left running.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}

if [ -z "${ORVANET_RUN_NETNS:-}" ]; then
    "$root/scripts/setup.sh"
    "$root/scripts/build.sh"
    source "$root/scripts/netns-lib.sh"
    netns_reexec ORVANET_RUN_NETNS paths "${BASH_SOURCE[0]}" ||
    echo "== no network namespace could be made (needs root and 'ip netns'): running without" \
        "a tunnel interface, so \"start\" will fail after waiting for it, and nothing can" \
        "enforce the DNS filters here"
    export ORVANET_RUN_NETNS=none
fi

source "$root/scripts/wine-env.sh"
source "$root/scripts/service-lib.sh"
source "$root/scripts/two-paths-lib.sh"
trap 'agent_stop; service_remove' EXIT

ctl() {
    echo "== orvanetctl $*"
    local status=0 response
    response=$(wine "C:\\Orvanet\\orvanetctl.exe" "$@" | tr -d '\r') || status=$?
    echo "   $response"
    echo "   (exit status $status)"
}

# A DNS query over the physical path, as the agent has the filters enforced now.
ask_physical() {
    [ "$ORVANET_RUN_NETNS" != none ] || return 0
    echo "== a DNS query over the physical path (UDP 53 to $two_paths_physical4), $1"
    if agent_settled "$2"; then
        echo "   in force: $agent_said"
    fi
    wine "C:\\Orvanet\\dns_probe.exe" demo physical udp "$two_paths_physical4" 53 | tr -d '\r' |
        sed 's/^/   /'
}

echo "== installing the service in $build/demo-prefix"
service_install "$build/demo-prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" "$build/tests/e2e/dns_probe.exe"
if [ "$ORVANET_RUN_NETNS" != none ]; then
    mkdir -p "$build/demo-agent"
    agent_start "$WINEPREFIX/drive_c/Orvanet" "$build/demo-agent"
fi
echo "== sc start Orvanet"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
wine sc query Orvanet | tr -d '\r' | grep -E "SERVICE_NAME|STATE"

ctl active
ctl start
echo "== what the stand-in WFP library holds now"
grep -E "^(engines|sublayers|filters|rejected|filter) " \
    "$WINEPREFIX/drive_c/Orvanet/fwpuclnt-state.txt" 2>/dev/null || echo "   (nothing: no WFP call)"
ask_physical "while the VPN is active" open
ctl active
ctl stop
ask_physical "after stop" closed
echo "== filters after stop: $(awk '$1 == "filters" {print $2}' \
    "$WINEPREFIX/drive_c/Orvanet/fwpuclnt-state.txt" 2>/dev/null || echo 0)"

echo "== sc stop Orvanet"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30
wine sc query Orvanet | tr -d '\r' | grep -E "STATE|WIN32_EXIT_CODE"
echo "== the end of the log ($(service_log))"
tail -n 60 "$(service_log)" | tr -d '\r'
