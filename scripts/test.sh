#!/usr/bin/env bash
# Sets up, builds and runs every test (under Wine), then replays the fuzzing corpora on the
# host. Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
# The production code must build warning-free with Clang as well.
"$root/scripts/build-clang.sh"
status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?
# Every kept input of the fuzz targets, the seeds and each that ever found a fault, still
# holds every property: a mended fault stays mended.
"$root/scripts/fuzz.sh" --replay || status=1
exit $status
