#!/usr/bin/env bash
# make-msi.sh VERSION OUTPUT ORVANET_EXE ORVANETCTL_EXE ENGINE_DLL [ENGINE_FILE...]: builds the
# Windows Installer package of packaging/Orvanet.wxs with wixl (msitools). ENGINE_DLL is
# shipped as tun2proxy.dll, each ENGINE_FILE (what the engine needs beside it, such as
# wintun.dll) under its own name. Refuses an engine that Orvanet.exe could not load.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=$1 output=$2 service=$3 client=$4 engine=$5
shift 5
"$root/scripts/check-engine-exports.py" "$engine"
IFS=. read -r major minor patch <<<"$version"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$root/packaging/Orvanet.wxs" "$stage/"
cp "$service" "$stage/Orvanet.exe"
cp "$client" "$stage/orvanetctl.exe"
cp "$engine" "$stage/tun2proxy.dll"
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Include>'
    n=0
    for file in "$@"; do
        n=$((n + 1))
        cp "$file" "$stage/"
        echo "  <Component Id=\"EngineFile$n\" Guid=\"*\" Win64=\"yes\"><File Id=\"EngineFile$n\"" \
            "Name=\"$(basename "$file")\" Source=\"\$(var.BinDir)/$(basename "$file")\" KeyPath=\"yes\" /></Component>"
    done
    echo '</Include>'
} >"$stage/EngineFiles.wxi"
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Include>'
    for n in $(seq "$#"); do
        echo "  <ComponentRef Id=\"EngineFile$n\" />"
    done
    echo '</Include>'
} >"$stage/EngineFileRefs.wxi"
output=$(realpath -m "$output")
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "NextVersion=$major.$minor.$((patch + 1))" \
    -D BinDir=. -o "$output" Orvanet.wxs)
