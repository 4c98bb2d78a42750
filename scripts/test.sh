#!/usr/bin/env bash
# Sets up, builds and runs every test (under Wine). Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
# The production code must build warning-free with Clang as well.
"$root/scripts/build-clang.sh"
ctest --test-dir "$build" --output-on-failure -j2
