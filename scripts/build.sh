#!/usr/bin/env bash
# Configures and builds the cross build in build/ (or $ORVANET_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
# The Windows Installer package, where wixl is at hand (the end-to-end tests install it).
if command -v wixl >/dev/null; then
    cmake --build "$build" --target msi
fi
