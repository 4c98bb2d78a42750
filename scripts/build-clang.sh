#!/usr/bin/env bash
# Builds the production code (service, orvanetctl, the stand-in DLLs) a second time, with
# Clang and lld for the same target, in build-clang/ (or $ORVANET_CLANG_BUILD_DIR). Tests and
# benchmarks are left out; any warning in the project's own code fails the build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_CLANG_BUILD_DIR:-$root/build-clang}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DORVANET_BUILD_TESTS=OFF -DORVANET_BUILD_BENCH=OFF \
    -DORVANET_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Orvanet orvanetctl tun2proxy fwpuclnt_standin
