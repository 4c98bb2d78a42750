#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, when missing.
set -euo pipefail
packages=(cmake make python3 mingw-w64 g++-mingw-w64-x86-64-posix wine64 nlohmann-json3-dev
    libfmt-dev googletest iproute2 util-linux msitools wixl
    # The DNS leak test: its packet filter, and the resolvers and listeners of its network.
    nftables dnsmasq-base
    # The second compiler of scripts/build-clang.sh: llvm-14 carries its archiver and windres.
    clang lld llvm-14
    # scripts/check-format.sh, run by the tests.
    clang-format
    # scripts/fuzz.sh: libFuzzer and the address and undefined-behaviour sanitizers' runtimes
    # for the host build of the code that reads untrusted text.
    libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
