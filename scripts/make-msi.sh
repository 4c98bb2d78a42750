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
# What wixl cannot express is added to its package below, not included.
for include in ServiceConfig FolderPermissions; do
    printf '<?xml version="1.0" encoding="utf-8"?>\n<Include>\n</Include>\n' >"$stage/$include.wxi"
done
output=$(realpath -m "$output")
(cd "$stage" && wixl -a x64 -D "Version=$version" -D "NextVersion=$major.$minor.$((patch + 1))" \
    -D BinDir=. -o "$output" Orvanet.wxs)

# The rows of packaging/toolset/*.wxi, as tables (IDT: column names, types, table and key,
# rows). Event 5: on install and reinstall. Actions 1: restart the service; delays in ms.
# Config types: 4, the failure-actions flag (a non-zero exit code is a failure); 6, the
# required privileges, the service's own list.
privileges=$(sed -n 's/^ *L"\(Se[A-Za-z]*Privilege\)",$/\1/p' "$root/src/service/Privileges.h" |
    sed ':a;N;$!ba;s/\n/[~]/g')
[ -n "$privileges" ] || { echo "no privileges found in src/service/Privileges.h" >&2; exit 1; }
tab=$'\t'
cat >"$stage/MsiServiceConfigFailureActions.idt" <<IDT
MsiServiceConfigFailureActions${tab}Name${tab}Event${tab}ResetPeriod${tab}RebootMessage${tab}Command${tab}Actions${tab}DelayActions${tab}Component_
s72${tab}s255${tab}i2${tab}I4${tab}L255${tab}L255${tab}S255${tab}S255${tab}s72
MsiServiceConfigFailureActions${tab}MsiServiceConfigFailureActions
OrvanetRecovery${tab}Orvanet${tab}5${tab}86400${tab}${tab}${tab}1[~]1[~]1${tab}3000[~]30000[~]600000${tab}ServiceExecutable
IDT
cat >"$stage/MsiServiceConfig.idt" <<IDT
MsiServiceConfig${tab}Name${tab}Event${tab}ConfigType${tab}Argument${tab}Component_
s72${tab}s255${tab}i2${tab}i4${tab}S0${tab}s72
MsiServiceConfig${tab}MsiServiceConfig
OrvanetFailureActionsFlag${tab}Orvanet${tab}5${tab}4${tab}1${tab}ServiceExecutable
OrvanetRequiredPrivileges${tab}Orvanet${tab}5${tab}6${tab}${privileges}${tab}ServiceExecutable
IDT
cat >"$stage/MsiLockPermissionsEx.idt" <<IDT
MsiLockPermissionsEx${tab}LockObject${tab}Table${tab}SDDLText${tab}Condition
s72${tab}s72${tab}s32${tab}l0${tab}S255
MsiLockPermissionsEx${tab}MsiLockPermissionsEx
InstallFolderPermissions${tab}INSTALLDIR${tab}CreateFolder${tab}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)${tab}
IDT
(cd "$stage" && msibuild "$output" -i MsiServiceConfigFailureActions.idt MsiServiceConfig.idt \
    MsiLockPermissionsEx.idt)
# wixl writes an expandable value as a plain string: the "#%" prefix makes it REG_EXPAND_SZ.
msibuild "$output" -q "UPDATE Registry SET Value='#%%ProgramData%\Pellmarrow\Orvanet\CrashDumps' WHERE Name='DumpFolder'"
msibuild "$output" -q "UPDATE Registry SET Value='#%[#OrvanetExe]' WHERE Name='EventMessageFile'"
# Applied between the service's install and its start.
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('MsiConfigureServices', 'VersionNT >= 600', 5850)"
