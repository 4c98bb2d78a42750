#!/usr/bin/env bash
# The service with a log that cannot be written: its folder read-only, its disk full (a
# small file system of the test's own), its file held by another program, things planted in
# its place. The service must keep running and serving, and its lines must still reach a
# debugger and, wherever it could go, a log that says why it is there.
# Usage: log_faults.sh BUILD_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$2
source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"

mkdir -p "$work"
probe="$work/mount-probe"
mkdir -p "$probe"
if [ "$(id -u)" -ne 0 ] || ! mount -t tmpfs -o size=64k tmpfs "$probe" 2>/dev/null; then
    echo "SKIP: small file systems cannot be mounted here (needs root): no log fault is tried"
    exit 0
fi
umount "$probe"

mounted=""
cleanup() {
    [ -n "$mounted" ] && umount "$mounted" 2>/dev/null
    service_remove
}
trap cleanup EXIT

service_install "$work/prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/tests/e2e/debug_listener.exe" \
    "$build/tests/e2e/file_lock.exe"
# "ProgramData" of a service under Wine's SCM. The small file systems are mounted on it, not
# on the log folder: Wine shows a mount point as a reparse point, which the service rightly
# refuses as a log folder (it would log to its fallback and never meet the fault).
public="$WINEPREFIX/drive_c/users/Public"
logs="$public/Pellmarrow/Orvanet/logs"
files="$WINEPREFIX/drive_c/Orvanet"
inactive='{"message":"inactive","running":false,"status":"ok"}'

# fault_start NAME: starts the service and a debugger of ours that records its debug strings.
fault_start() {
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "$1: service not RUNNING"
    rm -f "$files/stop-listening" "$files/debug-$1.txt"
    wine "C:\\Orvanet\\debug_listener.exe" "C:\\Orvanet\\debug-$1.txt" \
        "C:\\Orvanet\\stop-listening" &
    listener=$!
    local i
    for i in $(seq 50); do
        grep -q '^attached' "$files/debug-$1.txt" 2>/dev/null && break
        sleep 0.2
    done
}

# fault_serve NAME COUNT: COUNT clients ask "active"; each must be answered.
fault_serve() {
    local name=$1 answered=0 i out
    for i in $(seq "$2"); do
        out=$(wine "C:\\Orvanet\\orvanetctl.exe" active 2>"$work/ctl-stderr.txt" | tr -d '\r')
        rc=${PIPESTATUS[0]}
        if [ "$out" = "$inactive" ]; then
            answered=$((answered + 1))
        else
            echo "$name: request $i answered '$out' (exit $rc): $(tr -d '\r' <"$work/ctl-stderr.txt")" >&2
        fi
    done
    expect_eq "$name: clients answered" "$2" "$answered"
}

# fault_stop NAME COUNT: the debugger saw the request lines of all COUNT clients; the
# service stops cleanly.
fault_stop() {
    local name=$1 seen
    touch "$files/stop-listening"
    wait "$listener"
    seen=$(grep -c '^\[Orvanet\] \[.*\] \[INFO\] PipeServer::processCommand - Command type: active$' \
        "$files/debug-$name.txt" 2>/dev/null)
    expect_eq "$name: request lines seen by the debugger" "$2" "${seen:-0}"
    wine sc stop Orvanet >/dev/null
    service_wait_state STOPPED 30 || fail "$name: service not STOPPED"
    expect_eq "$name: exit code" 0 "$(service_exit_code)"
}

# Program data is read-only: no log folder can be made, the service logs to its fallback, a
# folder of its own in its temporary folder, though users planted folders under the log's
# and the crash log's names in the temporary folder itself; the log says why it is there.
temp="$WINEPREFIX/drive_c/users/$(whoami)/Temp"
rm -rf "$temp/Orvanet" && mkdir -p "$temp/Orvanet_service.log" "$temp/Orvanet_crash.log"
mount -t tmpfs -o ro,size=64k tmpfs "$public"
mounted=$public
fault_start read-only
fault_serve read-only 20
fault_stop read-only 20
if [ -e "$logs/Orvanet_service.log" ]; then fail "read-only: a log file appeared"; else pass; fi
umount "$public"
mounted=""
tr -d '\r' <"$temp/Orvanet/Orvanet_service.log" >"$work/read-only.log" 2>/dev/null
expect_in_order "$work/read-only.log" "] [INFO] === Service logging initialized ===" \
    "] [WARN] Log folder C:\users\Public\Pellmarrow\Orvanet\logs could not be used (" \
    "] [INFO] PipeServer::processCommand - Command type: active"
if grep -qE '\] \[WARN\] Log folder .* could not be used \(.+\); logging here instead$' \
    "$work/read-only.log"; then
    pass
else
    fail "read-only: the reason line is not whole: $(grep -F 'could not be used' "$work/read-only.log")"
fi
if [ -f "$temp/Orvanet/Orvanet_crash.log" ]; then pass; else fail "read-only: no crash log"; fi
if [ -d "$temp/Orvanet_service.log" ] && [ -d "$temp/Orvanet_crash.log" ]; then pass; else
    fail "read-only: the planted folders were touched"
fi

# The disk is full before the service writes its first line: lines reach the debugger only.
# Once space is freed, the next line finds the file writable again, says how many lines it
# missed, and the log goes on.
mount -t tmpfs -o size=64k tmpfs "$public"
mounted=$public
dd if=/dev/zero of="$public/filler" bs=4k 2>/dev/null
fault_start disk-full
fault_serve disk-full 20
if grep -q "PipeServer::processCommand" "$logs/Orvanet_service.log" 2>/dev/null; then
    fail "disk-full: request lines got into a full disk"
else
    pass
fi
rm -f "$public/filler"
fault_serve disk-full 3
fault_stop disk-full 23
tr -d '\r' <"$logs/Orvanet_service.log" >"$work/disk-full.log" 2>/dev/null
missed=$(sed -n 's/.*\] \[INFO\] Log file written again; \([0-9]*\) lines reached the debugger only$/\1/p' \
    "$work/disk-full.log")
if [ -n "$missed" ] && [ "$missed" -gt 20 ]; then pass; else
    fail "disk-full: no 'written again' line naming the missed lines ('$missed')"
fi
expect_in_order "$work/disk-full.log" "] [INFO] Log file written again; " \
    "] [INFO] PipeServer::processCommand - Command type: active" \
    "] [INFO] === Service stopped ===" "] [INFO] === Service logging closing ==="
expect_eq "disk-full: request lines after the space came back" 3 \
    "$(grep -c 'PipeServer::processCommand - Command type: active$' "$work/disk-full.log")"
umount "$public"
mounted=""

# Another program holds the log file without sharing it.
rm -rf "$logs" && mkdir -p "$logs"
rm -f "$files/lock-ready" "$files/lock-stop"
wine "C:\\Orvanet\\file_lock.exe" 'C:\users\Public\Pellmarrow\Orvanet\logs\Orvanet_service.log' \
    "C:\\Orvanet\\lock-ready" "C:\\Orvanet\\lock-stop" &
locker=$!
for i in $(seq 50); do
    [ -e "$files/lock-ready" ] && break
    sleep 0.2
done
[ -e "$files/lock-ready" ] || fail "locked: the file could not be held"
fault_start locked
fault_serve locked 20
fault_stop locked 20
touch "$files/lock-stop"
wait "$locker"
expect_eq "locked: the holder's file untouched" "held by another program" \
    "$(tr -d '\r' <"$logs/Orvanet_service.log")"

# Planted before the service first ran: a folder in the log's place and, as the crash log, a
# second name of a file of the planter's choosing. Neither is used: both are moved aside
# under a name that says so, and the log says so.
rm -rf "$logs" && mkdir -p "$logs/Orvanet_service.log/inside"
echo precious >"$files/victim.txt"
ln "$files/victim.txt" "$logs/Orvanet_crash.log"
fault_start planted
fault_serve planted 3
fault_stop planted 3
expect_eq "planted: the linked file untouched" precious "$(cat "$files/victim.txt")"
tr -d '\r' <"$logs/Orvanet_service.log" >"$work/planted.log" 2>/dev/null
expect_eq "planted: requests in a fresh log" 3 \
    "$(grep -c 'PipeServer::processCommand - Command type: active$' "$work/planted.log")"
for plant in "Orvanet_service.log:a folder" "Orvanet_crash.log:a file with more than one name"; do
    name=${plant%%:*}
    aside=$(cd "$logs" && ls -d "$name".untrusted-* 2>/dev/null)
    expect_eq "planted: $name moved aside once" 1 "$(echo "$aside" | grep -c .)"
    expect_in_order "$work/planted.log" "] [INFO] === Service logging initialized ===" \
        "] [WARN] $name was ${plant#*:}; moved aside to $aside"
done
if [ -d "$logs/Orvanet_service.log.untrusted-"*/inside ]; then pass; else
    fail "planted: the folder did not move whole"
fi

# A file where the log's first folder belongs (users may create files in ProgramData): moved
# aside like a planted folder, and the log and crash log are where they belong.
rm -rf "$public/Pellmarrow" "$public/Pellmarrow".untrusted-*
echo theirs >"$public/Pellmarrow"
fault_start planted-file
fault_serve planted-file 3
fault_stop planted-file 3
aside=$(cd "$public" && ls -d Pellmarrow.untrusted-* 2>/dev/null)
expect_eq "planted file: moved aside" theirs "$(cat "$public/$aside" 2>/dev/null)"
if [ -f "$logs/Orvanet_crash.log" ]; then pass; else fail "planted file: no crash log"; fi
tr -d '\r' <"$logs/Orvanet_service.log" >"$work/planted-file.log" 2>/dev/null
expect_in_order "$work/planted-file.log" "] [INFO] === Service logging initialized ===" \
    "] [WARN] Pellmarrow was a file; moved aside to $aside" \
    "] [INFO] PipeServer::processCommand - Command type: active"

# A log folder made before the service first ran and open to everyone (mode 0777 reads as
# every right for Everyone): never adopted, but moved aside whole and made anew.
rm -rf "$public/Pellmarrow" "$public/Pellmarrow".untrusted-*
mkdir -p "$public/Pellmarrow"
echo theirs >"$public/Pellmarrow/planted.txt"
chmod 0777 "$public/Pellmarrow"
fault_start open-folder
fault_serve open-folder 3
fault_stop open-folder 3
aside=$(cd "$public" && ls -d Pellmarrow.untrusted-* 2>/dev/null)
expect_eq "open folder: moved aside once" 1 "$(echo "$aside" | grep -c .)"
expect_eq "open folder: moved whole" theirs "$(cat "$public/$aside/planted.txt" 2>/dev/null)"
expect_eq "open folder: made anew without others' files" no \
    "$([ -e "$public/Pellmarrow/planted.txt" ] && echo yes || echo no)"
tr -d '\r' <"$logs/Orvanet_service.log" >"$work/open-folder.log" 2>/dev/null
expect_in_order "$work/open-folder.log" "] [INFO] === Service logging initialized ===" \
    "] [WARN] Pellmarrow was a folder that others may change; moved aside to $aside" \
    "] [INFO] PipeServer::processCommand - Command type: active"

finish
