#!/usr/bin/env bash
# The problem report under Wine's Service Control Manager, the service installed by the
# package: after a failed start and a crash of the stand-in engine, "orvanetctl collect"
# gathers the log, the crash log, a dump and summary.txt (saying where each came from), with
# the client's account name replaced, reads the installed files' versions, and refuses a
# folder that exists.
# Usage: collect.sh BUILD_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$2

source "$here/../../scripts/netns-lib.sh"
netns_e2e tun "the crash needs the tunnel interface: only the failed start is collected" \
    "${BASH_SOURCE[0]}" "$@"

source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"
trap 'service_remove' EXIT
mkdir -p "$work"

# Installed as administrators install it, by the package, into C:\Program Files\Orvanet: an
# image path with a space, which Wine's msiexec (like Windows Installer) stores unquoted.
require_package "$build"
wine_prefix_shutdown "$work/prefix"
rm -rf "$work/prefix" "$work/prefix.lock"
wine_prefix_persist "$work/prefix"
service_prefix=$work/prefix
service_msiexec "$work/msiexec.log" /i "$msi" || fail "msiexec /i: see $work/msiexec.log"
service_wait_state RUNNING 30 || fail "service not RUNNING"
programs="$WINEPREFIX/drive_c/Program Files/Orvanet"
service_pattern='Program Files\\Orvanet\\Orvanet.exe'
ctl_program='C:\Program Files\Orvanet\orvanetctl.exe'
# Wine's own filtering platform refuses the session (without the interface, its wait ends
# first): either way a failed start, logged.
ctl start
expect_eq "failed start: exit status" 1 "$rc"

if $with_tun; then
    service_stop_and_wait "$service_pattern" || fail "service did not stop"
    cp "$build/standin/fwpuclnt.dll" "$programs/"
    echo "fault-after-start" >"$programs/tun2proxy-standin.txt"
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "crash: service not RUNNING"
    ctl start
    expect_eq "start before the crash: exit status" 0 "$rc"
    service_after_crash "$service_pattern" || fail "crash: Orvanet.exe runs on"
fi

# Wine gives its services C:\users\Public as %ProgramData%, and other programs C:\ProgramData.
logs='C:\users\Public\Pellmarrow\Orvanet\logs'
ctl collect 'C:\report' --log-folder "$logs"
expect_eq "collect: exit status ($(cat "$work/ctl-stderr.txt"))" 0 "$rc"
report="$WINEPREFIX/drive_c/report"
expected="summary.txt Orvanet_service.log service.txt versions.txt network.txt active.txt"
$with_tun && expected+=" Orvanet_crash.log"
for file in $expected; do
    if [ -s "$report/$file" ]; then pass; else fail "collect: no $file"; fi
done
if $with_tun; then
    expect_eq "collect: crash dumps" 1 "$(find "$report" -name 'Orvanet_crash_*.dmp' | wc -l)"
fi
if grep -qF " bytes) from $logs" "$report/summary.txt" &&
    grep -q "^gathered: Orvanet_service.log (" "$report/summary.txt"; then
    pass
else
    fail "collect: summary.txt says nothing of the log: $(cat "$report/summary.txt")"
fi
# The installed files' versions, found through the unquoted image path.
for program in Orvanet.exe orvanetctl.exe; do
    expect_eq "collect: version of $program" \
        "$program C:\\Program Files\\Orvanet\\$program: $version.0" \
        "$(grep "^$program " "$report/versions.txt" | tr -d '\r')"
done

# The client's account, as the service's own log names it, is in no copy.
account=$(grep -o ', account .*' "$(service_log)" | head -n 1 | tr -d '\r')
account=${account#, account }
name=${account##*\\}
if [ -n "$name" ]; then pass; else fail "collect: no account named in the log"; fi
if [ -n "$name" ] && grep -rqiwF -- "$name" "$report"; then
    fail "collect: the account name '$name' is in the report: $(grep -rliwF -- "$name" "$report")"
else
    pass
fi

# A second collection into the same folder is refused, and changes nothing there.
before=$(ls -l "$report")
ctl collect 'C:\report' --log-folder "$logs"
expect_eq "second collect: exit status" 2 "$rc"
if grep -qF "exists; collect writes only into a folder it makes" "$work/ctl-stderr.txt"; then
    pass
else
    fail "second collect: '$(cat "$work/ctl-stderr.txt")'"
fi
expect_eq "second collect: the report unchanged" "$before" "$(ls -l "$report")"
finish
