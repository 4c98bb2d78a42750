#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, each case in a fresh prefix: install
# (automatic start, RUNNING, answering), the same version again, a refused downgrade,
# uninstall (service and program files gone, log kept), and an upgrade while the VPN is
# active (in a network namespace with orvantun and the recording stand-in fwpuclnt.dll).
#
# Wine's msi StopServices sends STOP without waiting for the service to end, so the files
# its process still holds cannot be replaced or removed. Where an install replaces or
# removes a running service's files, the test stops the service first and waits, as Windows
# Installer's StopServices does for this package (Wait="yes").
# Usage: msi_package.sh BUILD_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$2

source "$here/../../scripts/netns-lib.sh"
netns_e2e tun "the upgrade while the VPN is active is skipped" "${BASH_SOURCE[0]}" "$@"

source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"
trap 'service_remove' EXIT
mkdir -p "$work"

require_package "$build"
IFS=. read -r major minor patch <<<"$version"
newer="$major.$minor.$((patch + 1))"

# package VERSION: a package of the same build under another version.
package() {
    "$here/../../scripts/make-msi.sh" "$1" "$work/Orvanet-$1.msi" "$build/bin/Orvanet.exe" \
        "$build/bin/orvanetctl.exe" "$build/bin/tun2proxy.dll" >"$work/make-msi.txt" 2>&1 ||
        fail "package $1: $(cat "$work/make-msi.txt")"
    echo "$work/Orvanet-$1.msi"
}

fresh_prefix() {
    service_remove
    wine_prefix_shutdown "$work/$1"
    rm -rf "${work:?}/$1" "$work/$1.lock"
    wine_prefix_persist "$work/$1"
    service_prefix=$work/$1
    programs="$WINEPREFIX/drive_c/Program Files/Orvanet"
}

# msiexec ARGS... PACKAGE: quiet, with its log; sets rc.
msiexec() {
    service_msiexec "$work/msiexec.log" "$@"
    rc=$?
}

installed_versions() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '/^HKEY_/ {if (name == "Orvanet") print version; name = ""; version = ""}
            $1 == "DisplayName" {name = $3} $1 == "DisplayVersion" {version = $3}
            END {if (name == "Orvanet") print version}' |
        tr '\n' ' ' | sed 's/ $//'
}

service_value() { registry_value 'HKLM\System\CurrentControlSet\Services\Orvanet' "$1"; }

registry_values() { # KEY: its values as "NAME TYPE DATA", sorted, joined by "|"
    wine reg query "$1" 2>/dev/null | tr -d '\r' |
        awk '$2 ~ /^REG_/ {name = $1; type = $2; $1 = ""; $2 = ""; sub(/^ +/, ""); print name, type, $0}' |
        sort | paste -sd'|'
}

service_pid() { prefix_pids 'Program Files\\Orvanet\\Orvanet.exe' | head -n 1; }

# Stops the service and waits for its process to end (what StopServices does on Windows).
stop_and_wait() {
    service_stop_and_wait 'Program Files\\Orvanet\\Orvanet.exe' ||
        fail "$1: the service did not stop, or its process did not end"
}

ctl_program='C:\Program Files\Orvanet\orvanetctl.exe'

inactive='{"message":"inactive","running":false,"status":"ok"}'
started='{"message":"VPN started successfully","status":"ok"}'

# --- What the package configures beyond wixl's tables: read from the package itself, since
# Wine's msiexec applies none of them (no MsiConfigureServices, no permission locks) ----------
# table_rows TABLE: its rows, without the three header lines.
table_rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
tab=$'\t'
# sequence ACTIONS...: where each of the actions stands in the execute sequence, as
# "ACTION SEQUENCE CONDITION", by sequence.
sequence() {
    local pattern
    pattern="^($(IFS='|'; echo "$*"))\$"
    table_rows InstallExecuteSequence | awk -F'\t' -v p="$pattern" '$1 ~ p {print $3, $1, $2}' |
        sort -n | awk '{s = $2 " " $1; for (i = 3; i <= NF; i++) s = s " " $i; print s}' |
        paste -sd'|'
}
# Recovery, the failure-actions flag and the required privileges: one custom action, the
# service's own program as SYSTEM (deferred 1024, no impersonation 2048, an installed exe
# 18), after the service is registered and before it starts, not on removal; and none of
# the installer's own tables for them.
expect_eq "package: the configure action" "ConfigureService${tab}3090${tab}OrvanetExe${tab}configure${tab}" \
    "$(table_rows CustomAction | grep '^ConfigureService')"
expect_eq "package: configured between install and start" \
    'InstallServices 5800|ConfigureService 5801 NOT REMOVE~="ALL"|StartServices 5900 VersionNT' \
    "$(sequence InstallServices ConfigureService StartServices)"
for table in MsiServiceConfig MsiServiceConfigFailureActions; do
    expect_eq "package: no $table" "" "$(table_rows "$table" 2>/dev/null)"
done
expect_eq "package: no MsiConfigureServices" "" "$(sequence MsiConfigureServices)"
# Only into Program Files: the allowed folder set (51, a property) before the launch
# conditions, and the condition with its message.
expect_eq "package: the allowed install folder" \
    "SetAllowedFolder${tab}51${tab}ORVANET_FOLDER${tab}[ProgramFiles64Folder]Orvanet\\${tab}|SetAllowedFolderBare${tab}51${tab}ORVANET_FOLDER_BARE${tab}[ProgramFiles64Folder]Orvanet${tab}" \
    "$(table_rows CustomAction | grep '^SetAllowedFolder' | sort | paste -sd'|')"
expect_eq "package: the install folder rule" \
    "NOT INSTALLDIR OR INSTALLDIR ~= ORVANET_FOLDER OR INSTALLDIR ~= ORVANET_FOLDER_BARE${tab}Orvanet installs only into [ProgramFiles64Folder]Orvanet, where only administrators can make folders: leave INSTALLDIR unset." \
    "$(table_rows LaunchCondition | grep INSTALLDIR)"
for table in InstallExecuteSequence InstallUISequence; do
    expect_eq "package: the folder set before the conditions ($table)" "LaunchConditions" \
        "$(msiinfo export "$msi" "$table" | tr -d '\r' | tail -n +4 |
            awk -F'\t' '$1 ~ /^(SetAllowedFolder|SetAllowedFolderBare|LaunchConditions)$/ {print $3, $1}' |
            sort -n | tail -n 1 | cut -d' ' -f2)"
done
expect_eq "package: the install folder's descriptor" \
    "InstallFolderPermissions${tab}INSTALLDIR${tab}CreateFolder${tab}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)${tab}" \
    "$(table_rows MsiLockPermissionsEx)"
expect_eq "package: the folder it locks" "INSTALLDIR${tab}ServiceExecutable" "$(table_rows CreateFolder)"
# Every program file replaces what is there: its version from its own version resource, or,
# for one without (the stand-in engine), its MD5 in MsiFileHash.
# (awk, since read would fold the empty Version column into its neighbour)
while IFS='|' read -r key name file_row_version; do
    built="$build/bin/$name"
    if built_version=$("$here/../../scripts/file-version.py" "$built"); then
        expect_eq "package: $name's version" "$built_version" "$file_row_version"
        expect_eq "package: no hash for the versioned $name" "" \
            "$(table_rows MsiFileHash 2>/dev/null | awk -F'\t' -v k="$key" '$1 == k')"
    else
        expect_eq "package: $name unversioned" "" "$file_row_version"
        expect_eq "package: $name's hash" \
            "0${tab}$("$here/../../scripts/file-version.py" --msi-hash "$built")" \
            "$(table_rows MsiFileHash | awk -F'\t' -v k="$key" '$1 == k' | cut -f2-)"
    fi
done < <(table_rows File | awk -F'\t' '{print $1 "|" $3 "|" $5}')
expect_eq "package: versioned program files" 2 \
    "$(table_rows File | awk -F'\t' '$5 != ""' | wc -l)"
# Upgrades roll back: the older version is removed inside the installation's transaction.
expect_eq "package: the older version removed inside the transaction" \
    "InstallInitialize 1500|RemoveExistingProducts 1501" \
    "$(sequence InstallInitialize RemoveExistingProducts)"
# A service that cannot be registered fails the install (vital, 0x8000, with normal 1).
expect_eq "package: the service entry is vital" 32769 \
    "$(table_rows ServiceInstall | awk -F'\t' '{print $6}')"
expect_eq "package: the event source, its message file expandable" \
    "EventMessageFile #%[#OrvanetExe]|TypesSupported #7" \
    "$(table_rows Registry | awk -F'\t' '$3 ~ /EventLog/ {print $4, $5}' | sort | paste -sd'|')"
# The platform's dumps go to its default folder for LocalSystem: no DumpFolder of ours.
expect_eq "package: LocalDumps without a folder" "DumpCount #3|DumpType #1" \
    "$(table_rows Registry | awk -F'\t' '$3 ~ /LocalDumps/ {print $4, $5}' | sort | paste -sd'|')"
expect_eq "package: the dependency on the filtering engine" "BFE[~][~]" \
    "$(table_rows ServiceInstall | awk -F'\t' '{print $8}')"

# --- Install, the same version again, a refused downgrade, uninstall -----------------------
fresh_prefix prefix-install
msiexec /i "$msi"
expect_eq "install: msiexec" 0 "$rc"
service_wait_state RUNNING 30 || fail "install: service not RUNNING"
# The configure action ran and succeeded: on Wine's service manager the failure actions are
# set and the two levels it does not know are reported, not fatal.
# (Wine's log names a deferred action's end twice: when it is scheduled and when it runs.)
expect_eq "install: the configure action" "Return value 1." \
    "$(tr -d '\r\0' <"$work/msiexec.log" | grep -a 'Action ended .*: ConfigureService\.' |
        sed 's/.*ConfigureService\. //' | sort -u)"
expect_eq "install: automatic start" 0x2 "$(service_value Start)"
expect_eq "install: own process" 0x10 "$(service_value Type)"
expect_eq "install: account" LocalSystem "$(service_value ObjectName)"
expect_eq "install: program" 'C:\Program Files\Orvanet\Orvanet.exe' "$(service_value ImagePath)"
expect_eq "install: depends on the filtering engine" BFE "$(service_value DependOnService)"
# The platform's error reporting writes its dumps of the service into its default folder
# for LocalSystem, which no user can make first or read.
local_dumps='HKLM\SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps\Orvanet.exe'
expect_eq "install: LocalDumps" "DumpCount REG_DWORD 0x3|DumpType REG_DWORD 0x1" \
    "$(registry_values "$local_dumps")"
# The service's events take their texts from the installed program's message table.
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Orvanet'
expect_eq "install: event source" \
    'EventMessageFile REG_EXPAND_SZ C:\Program Files\Orvanet\Orvanet.exe|TypesSupported REG_DWORD 0x7' \
    "$(registry_values "$event_source")"
case "$(service_value Description)" in
"") fail "install: no description" ;;
*) pass ;;
esac
ctl active
expect_eq "install: active answers" "$inactive" "$out"
expect_eq "install: one product" "$version" "$(installed_versions)"
# A release build packages its stripped binaries; their symbols stay in the build tree.
if [ -f "$build/bin/Orvanet.exe.debug" ]; then
    for file in Orvanet.exe orvanetctl.exe tun2proxy.dll; do
        if cmp -s "$programs/$file" "$build/bin/$file"; then pass; else fail "install: $file is not the build's"; fi
        sections=$(x86_64-w64-mingw32-objdump -h "$programs/$file" | awk '{print $2}')
        if grep -qx '\.gnu_debuglink' <<<"$sections" && ! grep -q '^\.debug_' <<<"$sections"; then
            pass
        else
            fail "install: $file is not stripped with a link to its symbols"
        fi
    done
fi

# The same version, built again, repairs: a missing file comes back.
rm -f "$programs/orvanetctl.exe"
stop_and_wait "repair"
msiexec /i "$(package "$version")"
expect_eq "repair: msiexec" 0 "$rc"
service_wait_state RUNNING 30 || fail "repair: service not RUNNING"
if [ -f "$programs/orvanetctl.exe" ]; then pass; else fail "repair: orvanetctl.exe not restored"; fi
expect_eq "repair: one product" "$version" "$(installed_versions)"

# An older package is refused and changes nothing.
running=$(service_pid)
msiexec /i "$(package 0.0.1)"
if [ "$rc" -ne 0 ]; then pass; else fail "downgrade: msiexec succeeded"; fi
expect_eq "downgrade: installed version" "$version" "$(installed_versions)"
expect_eq "downgrade: the service untouched" "$running" "$(service_pid)"

# A package whose engine Orvanet.exe could not load is not built.
if "$here/../../scripts/make-msi.sh" "$version" "$work/bad.msi" "$build/bin/Orvanet.exe" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" >"$work/bad.txt" 2>&1; then
    fail "an engine without the three exports was packaged"
elif grep -q "lacks tun2proxy_with_name_run, tun2proxy_stop, tun2proxy_set_log_callback" "$work/bad.txt" &&
    [ ! -e "$work/bad.msi" ]; then
    pass
else
    fail "refused engine: $(cat "$work/bad.txt")"
fi
# What the check says of each engine: a later release refused, the hash a packager records
# asked for, and a file that is not the one recorded refused.
standin_hash=$(sha256sum "$build/bin/tun2proxy.dll" | cut -d' ' -f1)
while IFS='|' read -r name status expected file hash; do
    said=$("$here/../../scripts/check-engine-exports.py" "$file" ${hash:+--sha256 "$hash"} 2>&1)
    expect_eq "engine check, $name: exit status" "$status" "$?"
    case "$said" in
    *"$expected"*) pass ;;
    *) fail "engine check, $name: '$said'" ;;
    esac
done <<EOF_ROWS
later release|1|lacks tun2proxy_with_name_run (a release from 0.8.0 on); supported engine releases: tun2proxy 0.7.17 and earlier|$build/tests/doubles/engine/later/tun2proxy.dll|
no hash given|0|but so do 0.7.18 to 0.7.21, which end the service's process 2 s after each run returns: make sure of the release from its source and record SHA-256 $standin_hash|$build/bin/tun2proxy.dll|
the recorded hash|0||$build/bin/tun2proxy.dll|$standin_hash
another file|1|is not the engine recorded for this package: its SHA-256 is $standin_hash, not 00ff|$build/bin/tun2proxy.dll|00FF
EOF_ROWS

# Uninstall: the service and the program files go, the log stays.
stop_and_wait "uninstall"
msiexec /x "$msi"
expect_eq "uninstall: msiexec" 0 "$rc"
expect_eq "uninstall: service deleted" "" "$(service_value ImagePath)"
expect_eq "uninstall: event source removed" "" "$(registry_values "$event_source")"
if [ -e "$programs" ]; then
    fail "uninstall: program files left: $(ls "$programs" | tr '\n' ' ')"
else
    pass
fi
if grep -q "=== Service logging closing ===" "$(service_log)" 2>/dev/null; then pass; else
    fail "uninstall: the log is gone"
fi
expect_eq "uninstall: no product" "" "$(installed_versions)"

# A folder a user could have made first, with a later-modified engine in it: refused before
# anything is installed, with the message, and what is there left as it was.
planted_folder="$WINEPREFIX/drive_c/users/Public/Orvanet"
mkdir -p "$planted_folder"
echo theirs >"$planted_folder/tun2proxy.dll"
touch -d '+1 day' "$planted_folder/tun2proxy.dll"
wine msiexec /i "Z:${msi//\//\\}" 'INSTALLDIR=C:\users\Public\Orvanet\' /qn \
    /l*v "Z:${work//\//\\}\\elsewhere.log" </dev/null >/dev/null 2>&1
# 1603, of which the wine command passes on the low byte. Wine's log shows the launch
# condition failing, though not its message (the package's table holds that, above).
expect_eq "elsewhere: msiexec" $((1603 & 255)) "$?"
expect_eq "elsewhere: the launch conditions failed" "Return value 0." \
    "$(tr -d '\r\0' <"$work/elsewhere.log" | grep -a 'Action ended .*: LaunchConditions\.' |
        sed 's/.*LaunchConditions\. //')"
expect_eq "elsewhere: the folder asked and the one allowed" \
    'INSTALLDIR = C:\users\Public\Orvanet\|ORVANET_FOLDER = C:\Program Files\Orvanet\' \
    "$(tr -d '\r\0' <"$work/elsewhere.log" | grep -aE '^Property\(S\): (INSTALLDIR|ORVANET_FOLDER) = ' |
        sed 's/^Property(S): //' | sort | paste -sd'|')"
expect_eq "elsewhere: the planted engine untouched" theirs "$(cat "$planted_folder/tun2proxy.dll")"
expect_eq "elsewhere: nothing else there" tun2proxy.dll "$(ls "$planted_folder")"
expect_eq "elsewhere: no product" "" "$(installed_versions)"
expect_eq "elsewhere: no service" "" "$(service_value ImagePath)"

# --- An upgrade while the VPN is active ---------------------------------------------------
if $with_tun; then
    fresh_prefix prefix-upgrade
    msiexec /i "$msi"
    expect_eq "upgrade: first install" 0 "$rc"
    # The recording stand-in WFP library, loaded by the service's process at its start.
    stop_and_wait "upgrade: placing the stand-in"
    cp "$build/standin/fwpuclnt.dll" "$programs/"
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "upgrade: service not RUNNING"
    ctl start
    expect_eq "upgrade: VPN started" "$started" "$out"
    state="$programs/fwpuclnt-state.txt"
    expect_eq "upgrade: filters before" 12 "$(awk '$1 == "filters" {print $2}' "$state")"
    old=$(service_pid)
    mark=$(wc -l <"$(service_log)")

    stop_and_wait "upgrade"
    msiexec /i "$(package "$newer")"
    expect_eq "upgrade: msiexec" 0 "$rc"
    service_wait_state RUNNING 30 || fail "upgrade: new service not RUNNING"
    new=$(service_pid)
    if [ -n "$new" ] && [ "$new" != "$old" ]; then pass; else
        fail "upgrade: the service's process did not change ($old, $new)"
    fi
    expect_eq "upgrade: one product, the newer" "$newer" "$(installed_versions)"
    expect_eq "upgrade: filters after" 0 "$(awk '$1 == "filters" {print $2}' "$state")"
    ctl active
    expect_eq "upgrade: active after" "$inactive" "$out"
    tail -n "+$((mark + 1))" "$(service_log)" | tr -d '\r' >"$work/upgrade.log"
    expect_in_order "$work/upgrade.log" \
        "] [INFO] Stopping VPN..." \
        "] [INFO] DnsManager::restore - WFP DNS isolation disabled" \
        "] [INFO] === Service stopped ===" \
        "] [INFO] === Service starting ===" \
        "] [INFO] Service is now running"
else
    echo "SKIP: the upgrade while the VPN is active"
fi

service_remove
finish
