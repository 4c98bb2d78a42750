#!/usr/bin/env bash
# The service with a log that cannot be written: its folder read-only, its disk full (a
# small file system of the test's own), its file held by another program. The service must
# keep running and serving, and its lines must still reach a debugger.
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

logs=""
cleanup() {
    [ -n "$logs" ] && umount "$logs" 2>/dev/null
    service_remove
}
trap cleanup EXIT

service_install "$work/prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/tests/e2e/debug_listener.exe" \
    "$build/tests/e2e/file_lock.exe"
logs="$WINEPREFIX/drive_c/users/Public/Pellmarrow/Orvanet/logs"
files="$WINEPREFIX/drive_c/Orvanet"
inactive='{"message":"inactive","running":false,"status":"ok"}'

# serve_under_fault NAME: starts the service, listens to its debug strings while twenty
# clients ask "active", and stops it again.
serve_under_fault() {
    local name=$1 answered=0 i out
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "$name: service not RUNNING"
    rm -f "$files/stop-listening" "$files/debug-$name.txt"
    wine "C:\\Orvanet\\debug_listener.exe" "C:\\Orvanet\\debug-$name.txt" \
        "C:\\Orvanet\\stop-listening" &
    local listener=$!
    for i in $(seq 50); do
        grep -q '^attached' "$files/debug-$name.txt" 2>/dev/null && break
        sleep 0.2
    done
    for i in $(seq 20); do
        out=$(wine "C:\\Orvanet\\orvanetctl.exe" active 2>"$work/ctl-stderr.txt" | tr -d '\r')
        if [ "$out" = "$inactive" ]; then
            answered=$((answered + 1))
        else
            echo "$name: request $i answered '$out': $(tr -d '\r' <"$work/ctl-stderr.txt")" >&2
        fi
    done
    expect_eq "$name: clients answered" 20 "$answered"
    touch "$files/stop-listening"
    wait "$listener"
    local seen
    seen=$(grep -c '^\[Orvanet\] \[.*\] \[INFO\] PipeServer::processCommand - Command type: active$' \
        "$files/debug-$name.txt" 2>/dev/null)
    expect_eq "$name: request lines seen by the debugger" 20 "${seen:-0}"
    wine sc stop Orvanet >/dev/null
    service_wait_state STOPPED 30 || fail "$name: service not STOPPED"
    expect_eq "$name: exit code" 0 "$(service_exit_code)"
}

# The log folder is read-only: no file can be made in it.
mkdir -p "$logs"
rm -f "$logs"/*
mount -t tmpfs -o ro,size=64k tmpfs "$logs"
serve_under_fault read-only
if [ -e "$logs/Orvanet_service.log" ]; then fail "read-only: a log file appeared"; else pass; fi
umount "$logs"

# The disk is full: the file opens, but no line fits.
mount -t tmpfs -o size=16k tmpfs "$logs"
dd if=/dev/zero of="$logs/filler" bs=1k count=64 2>/dev/null
serve_under_fault disk-full
if grep -q "PipeServer::processCommand" "$logs/Orvanet_service.log" 2>/dev/null; then
    fail "disk-full: request lines got into a full disk"
else
    pass
fi
umount "$logs"

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
serve_under_fault locked
touch "$files/lock-stop"
wait "$locker"
expect_eq "locked: the holder's file untouched" "held by another program" \
    "$(tr -d '\r' <"$logs/Orvanet_service.log")"

finish
