#!/usr/bin/env bash
# Sets up and builds, then shows the whole service at work: installed from the built Windows
# Installer package (msiexec /i, quietly) as administrators install it, as the service
# "Orvanet" under Wine's Service Control Manager in a private prefix, inside a
# network namespace of its own with two paths, "orvantun" (standing in for the interface the
# real engine makes) and a "physical" one, each to a resolver; the stand-in fwpuclnt.dll
# beside the service records the DNS filters and an agent has the namespace's kernel enforce
# them. orvanetctl then asks "active", "start", "active" and "stop", and a DNS query over the
# physical path shows what the filters do. Last the service is stopped, the package removed
# (msiexec /x) and the prefix's wineserver ended, so nothing is left installed or running.
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
    response=$(wine "C:\\Program Files\\Orvanet\\orvanetctl.exe" "$@" | tr -d '\r') || status=$?
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
    wine "C:\\Program Files\\Orvanet\\dns_probe.exe" demo physical udp "$two_paths_physical4" 53 |
        tr -d '\r' | sed 's/^/   /'
}

msi=$(ls "$build"/Orvanet-*.msi 2>/dev/null | head -n 1)
if [ -z "$msi" ]; then
    echo "no Windows Installer package in $build (it is built where wixl is installed)" >&2
    exit 1
fi
prefix=$build/demo-prefix
programs="$prefix/drive_c/Program Files/Orvanet"
service_pattern='Program Files\\Orvanet\\Orvanet.exe'
echo "== msiexec /i $(basename "$msi") /qn, in a fresh prefix $prefix"
wine_prefix_shutdown "$prefix"
rm -rf "$prefix" "$prefix.lock"
wine_prefix_persist "$prefix"
service_prefix=$prefix
service_msiexec "$build/demo-msiexec-install.log" /i "$msi" ||
    { echo "msiexec /i failed: see $build/demo-msiexec-install.log" >&2; exit 1; }
service_wait_state RUNNING 30
wine sc query Orvanet | tr -d '\r' | grep -E "SERVICE_NAME|STATE"

# The package never ships the stand-in WFP library: it goes beside the installed service,
# which is stopped for it, with the probe.
echo "== the stand-in fwpuclnt.dll placed beside the installed service"
service_stop_and_wait "$service_pattern"
cp "$build/standin/fwpuclnt.dll" "$build/tests/e2e/dns_probe.exe" "$programs/"
if [ "$ORVANET_RUN_NETNS" != none ]; then
    mkdir -p "$build/demo-agent"
    agent_start "$programs" "$build/demo-agent"
fi
echo "== sc start Orvanet"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
wine sc query Orvanet | tr -d '\r' | grep -E "SERVICE_NAME|STATE"

ctl active
ctl start
echo "== what the stand-in WFP library holds now"
grep -E "^(engines|sublayers|filters|rejected|filter) " "$programs/fwpuclnt-state.txt" \
    2>/dev/null || echo "   (nothing: no WFP call)"
ask_physical "while the VPN is active" open
ctl active
ctl stop
ask_physical "after stop" closed
echo "== filters after stop: $(awk '$1 == "filters" {print $2}' "$programs/fwpuclnt-state.txt" \
    2>/dev/null || echo 0)"

echo "== sc stop Orvanet"
service_stop_and_wait "$service_pattern"
wine sc query Orvanet | tr -d '\r' | grep -E "STATE|WIN32_EXIT_CODE"
echo "== the end of the log ($(service_log))"
tail -n 60 "$(service_log)" | tr -d '\r'

echo "== msiexec /x $(basename "$msi") /qn, after removing what the demo placed beside it"
rm -f "$programs"/fwpuclnt* "$programs/dns_probe.exe"
service_msiexec "$build/demo-msiexec-remove.log" /x "$msi" ||
    echo "   msiexec /x failed: see $build/demo-msiexec-remove.log"
wine sc query Orvanet >/dev/null 2>&1 && echo "   the service is still installed" ||
    echo "   the service is removed"
[ -d "$programs" ] && echo "   $programs is still there: $(ls "$programs")" ||
    echo "   the program folder is removed"
service_prefix=
wine_prefix_shutdown "$prefix"
