#!/usr/bin/env bash
# Sets up and builds, installs Orvanet.exe as the service "Orvanet" under Wine's Service
# Control Manager in a private prefix, starts it, shows its state and log, then stops and
# removes it and ends the prefix's wineserver.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"
source "$root/scripts/service-lib.sh"
trap 'service_remove' EXIT
echo "== installing the service in $build/demo-prefix"
service_install "$build/demo-prefix" Orvanet "$build/bin/Orvanet.exe"
echo "== sc start Orvanet"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
wine sc query Orvanet | tr -d '\r'
sleep 2
echo "== sc stop Orvanet"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30
wine sc query Orvanet | tr -d '\r'
echo "== the end of the log ($(service_log))"
tail -n 20 "$(service_log)" | tr -d '\r'
