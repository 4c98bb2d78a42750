#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix, creating the prefix on first
# use. Used as CMake's cross-compiling emulator: wine-run.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
prefix=$1
shift
# shellcheck source=scripts/wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
wine_prefix_ready "$prefix"
exec "${wine_unrandomised[@]}" wine "$@"
