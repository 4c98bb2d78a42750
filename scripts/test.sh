#!/usr/bin/env bash
# Sets up, builds and runs every test (under Wine), then replays the fuzzing corpora on the
# host. Exits non-zero when any test fails. Each stage's time is said at its end.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
stage() {
    local name=$1 begin=$SECONDS
    shift
    local status=0
    "$@" || status=$?
    echo "test.sh: $name took $((SECONDS - begin)) s"
    return $status
}
stage setup "$root/scripts/setup.sh"
stage build "$root/scripts/build.sh"
# The production code must build warning-free with Clang as well.
stage clang-build "$root/scripts/build-clang.sh"
status=0
stage tests ctest --test-dir "$build" --output-on-failure -j2 || status=$?
# Every kept input of the fuzz targets, the seeds and each that ever found a fault, still
# holds every property: a mended fault stays mended.
stage fuzz-replay "$root/scripts/fuzz.sh" --replay || status=1
echo "test.sh: all stages took $SECONDS s"
exit $status
