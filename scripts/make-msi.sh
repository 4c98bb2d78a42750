#!/usr/bin/env bash
# make-msi.sh VERSION OUTPUT ORVANET_EXE ORVANETCTL_EXE ENGINE_DLL [ENGINE_FILE...]: builds the
# Windows Installer package of packaging/Orvanet.wxs with wixl (msitools). ENGINE_DLL is
# shipped as tun2proxy.dll, each ENGINE_FILE (what the engine needs beside it, such as
# wintun.dll) under its own name. Refuses an engine that Orvanet.exe could not use, and one
# whose SHA-256 is not ORVANET_ENGINE_SHA256 where that is set (the release the packager
# made sure of).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=$1 output=$2 service=$3 client=$4 engine=$5
shift 5
"$root/scripts/check-engine-exports.py" "$engine" \
    ${ORVANET_ENGINE_SHA256:+--sha256 "$ORVANET_ENGINE_SHA256"}
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
# What wixl cannot express is added to its package below, not included.
printf '<?xml version="1.0" encoding="utf-8"?>\n<Include>\n</Include>\n' >"$stage/FolderPermissions.wxi"
output=$(realpath -m "$output")
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "NextVersion=$major.$minor.$((patch + 1))" \
    -D BinDir=. -o "$output" Orvanet.wxs)

# The rows of packaging/toolset/FolderPermissions.wxi and what wixl leaves out, as tables
# (IDT: column names, types, table and key, rows) and updates.
tab=$'\t'
cat >"$stage/MsiLockPermissionsEx.idt" <<IDT
MsiLockPermissionsEx${tab}LockObject${tab}Table${tab}SDDLText${tab}Condition
s72${tab}s72${tab}s32${tab}l0${tab}S255
MsiLockPermissionsEx${tab}MsiLockPermissionsEx
InstallFolderPermissions${tab}INSTALLDIR${tab}CreateFolder${tab}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)${tab}
IDT
# Each program file's version from its version resource, so that the installer replaces an
# older or unversioned copy instead of keeping it as a user's data; a file without one gets
# its MD5 (as four little-endian 32-bit parts) in MsiFileHash, by which the installer tells
# a changed copy from its own.
{
    printf 'File_\tOptions\tHashPart1\tHashPart2\tHashPart3\tHashPart4\n'
    printf 's72\ti2\ti4\ti4\ti4\ti4\n'
    printf 'MsiFileHash\tFile_\n'
} >"$stage/MsiFileHash.idt"
hashed=0
while IFS=$'\t' read -r key _ name _; do
    file="$stage/${name#*|}"
    if file_version=$("$root/scripts/file-version.py" "$file"); then
        msibuild "$output" -q "UPDATE File SET Version='$file_version' WHERE File='$key'"
    else
        printf '%s\t0\t%s\n' "$key" "$("$root/scripts/file-version.py" --msi-hash "$file")" \
            >>"$stage/MsiFileHash.idt"
        hashed=$((hashed + 1))
    fi
done < <(msiinfo export "$output" File | tr -d '\r' | tail -n +4)
tables=(MsiLockPermissionsEx.idt)
[ "$hashed" -eq 0 ] || tables+=(MsiFileHash.idt)
(cd "$stage" && msibuild "$output" -i "${tables[@]}")
# wixl writes an expandable value as a plain string: the "#%" prefix makes it REG_EXPAND_SZ.
msibuild "$output" -q "UPDATE Registry SET Value='#%[#OrvanetExe]' WHERE Name='EventMessageFile'"
# The service entry is vital: a service that cannot be registered fails the install rather
# than leave its files without a service (msidbServiceInstallErrorControlVital | normal).
msibuild "$output" -q "UPDATE ServiceInstall SET ErrorControl=32769 WHERE ServiceInstall='OrvanetService'"
# wixl places the removal of an older version where it likes: right after InstallInitialize,
# inside the installation's transaction, as the source asks.
msibuild "$output" -q "UPDATE InstallExecuteSequence SET Sequence=1501 WHERE Action='RemoveExistingProducts'"
