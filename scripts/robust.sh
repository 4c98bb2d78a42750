#!/usr/bin/env bash
# The long robustness run, apart from the test command: 1,000 start/stop cycles through the
# control pipe (ORVANET_CYCLES to change it), with the process counters before and after.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
prefix="$build/robust-prefix"
trap '"$root/scripts/wine-prefix.sh" shutdown "$prefix"' EXIT
"$root/scripts/wine-prefix.sh" setup "$prefix"
ORVANET_CYCLES=${ORVANET_CYCLES:-1000} "$root/scripts/wine-run.sh" "$prefix" \
    "$build/tests/robust/robust_cycles.exe" --gtest_color=no
