#!/usr/bin/env bash
# The service host under Wine's real Service Control Manager: install, start, RUNNING,
# stop, STOPPED with exit code 0, the host's lines in the log in order; the console run.
# Usage: service_host.sh BUILD_BIN_DIR WORK_DIR
set -uo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"
bin=$1
work=$2
prefix="$work/prefix-host"
trap 'service_remove' EXIT

# What the service writes to the Event Log, from Wine's trace of the calls.
events="$work/eventlog-trace.txt"
ORVANET_EVENTLOG_TRACE=$events service_install "$prefix" Orvanet "$bin/Orvanet.exe" "$bin/tun2proxy.dll" \
    "$work/file_lock.exe"

# Started from a console, from its own folder, the program prints its installation help,
# naming itself by its full path, and exits with 0.
help=$(cd "$WINEPREFIX/drive_c/Orvanet" && wine Orvanet.exe | tr -d '\r')
expect_eq "console exit status" 0 "${PIPESTATUS[0]}"
expected_help='Orvanet Service
================
This executable is designed to run as a Windows Service.
Install it with its package (msiexec /i Orvanet-VERSION.msi), which also sets
its recovery and privileges. By hand, in a Command Prompt run as administrator
(not PowerShell, where sc is another command and \" no escape):

To install:   sc.exe create Orvanet binPath= "\"C:\Orvanet\Orvanet.exe\""
To configure: "C:\Orvanet\Orvanet.exe" configure
To start:     sc.exe start Orvanet
To stop:      sc.exe stop Orvanet
To delete:    sc.exe delete Orvanet

Library functions linked successfully.'
expect_eq "console help" "$expected_help" "$help"

# The package's configure step against Wine's service manager, which keeps failure actions
# and knows neither the flag nor required privileges: those two are said, not fatal.
configured=$(wine "C:\\Orvanet\\Orvanet.exe" configure | tr -d '\r')
expect_eq "configure: exit status" 0 "${PIPESTATUS[0]}"
expect_eq "configure: what it says" \
    'failure actions (restart after 3 s, 30 s, 10 min; reset after 1 day): set
failure actions on a stop with an error: not set, this service manager does not know the setting (error 124)
required privileges (SeChangeNotifyPrivilege, SeLoadDriverPrivilege): not set, this service manager does not know the setting (error 124)' \
    "$configured"

wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "service not RUNNING"
expect_eq "state after start" RUNNING "$(service_state)"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30 || fail "service not STOPPED"
expect_eq "exit code after stop" 0 "$(service_exit_code)"

log=$(service_log)
if [ -f "$log" ]; then
    # The service main thread's lines in order. RUNNING is reported just before its line, so
    # the control handler's STOP line, on the dispatcher's thread, may come before that line:
    # it is ordered only after what preceded the report and before the shut-down it begins.
    expect_in_order "$log" "] [INFO] === Service logging initialized ===" \
        "] [INFO] === Service starting ===" "] [INFO] Winsock initialized successfully" \
        "] [INFO] Service is now running" \
        "] [INFO] Service shutting down..." "] [INFO] Winsock cleaned up" \
        "] [INFO] === Service stopped ===" "] [INFO] === Service logging closing ==="
    expect_in_order "$log" "] [INFO] Winsock initialized successfully" \
        "] [INFO] Service received STOP control" "] [INFO] Service shutting down..."
    # The first and the last line name the one process; the second says which build runs,
    # with the version of the built file; the engine is loaded by the first start.
    first=$(grep -F '] [INFO] === Service starting === (process ' "$log" | tr -d '\r' | sed 's/.*(process //')
    last=$(grep -F '] [INFO] === Service stopped === (process ' "$log" | tr -d '\r' | sed 's/.*(process //')
    case "$first" in
    [1-9]*\)) expect_eq "the process of the last line" "$first" "$last" ;;
    *) fail "first line's process: '$first'" ;;
    esac
    expect_eq "the line after the first" \
        "Versions: Orvanet.exe $(file_version "$bin/Orvanet.exe"), tun2proxy.dll loaded at the first start" \
        "$(grep -F -A1 '] [INFO] === Service starting ===' "$log" | tail -n 1 | tr -d '\r' | sed 's/^\[[^]]*\] \[INFO\] //')"
    # Each start leaves an empty line before its first line.
    expect_eq "empty line before the start line" "" "$(grep -B1 -F '=== Service logging initialized' "$log" | head -n 1 | tr -d '\r')"
else
    fail "no log file at $log"
fi
expect_eq "events of a start and a stop" "" "$(service_events "$events")"

# Another process holding the pipe's name (a second copy of the service, say) for over a
# minute: the first failure, one summary at the minute, one warning and one event, not a line
# a second; once it lets go the service takes the name, saying after how many tries.
held_ready="$prefix/drive_c/Orvanet/pipe-held.ready"
held_stop="$prefix/drive_c/Orvanet/pipe-held.stop"
wine "C:\\Orvanet\\file_lock.exe" '\\.\pipe\Orvanet' 'C:\Orvanet\pipe-held.ready' \
    'C:\Orvanet\pipe-held.stop' pipe </dev/null >/dev/null 2>&1 &
holder=$!
for i in $(seq 100); do [ -e "$held_ready" ] && break; sleep 0.1; done
before=$(wc -l <"$log")
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "name held: service not RUNNING"
warning="] [WARN] PipeServer - Another process has held the pipe's name for over 60 s; clients cannot reach the service"
for i in $(seq 90); do
    grep -qF "$warning" "$log" && break
    sleep 1
done
sleep 3
touch "$held_stop"
wait "$holder"
for i in $(seq 50); do
    grep -qF "] [INFO] PipeServer - Pipe created after " "$log" && break
    sleep 0.2
done
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30 || fail "name held: service not STOPPED"
held=$(tail -n "+$((before + 1))" "$log" | tr -d '\r')
expect_eq "name held: lines of the failure" 2 "$(grep -c 'CreateNamedPipe' <<<"$held")"
expect_eq "name held: the first" 1 "$(grep -c '\] \[ERROR\] ERROR in CreateNamedPipe: Code 0x' <<<"$held")"
expect_eq "name held: the summary" 1 \
    "$(grep -cE '\] \[ERROR\] PipeServer - CreateNamedPipe failed [0-9]+ more times over [0-9]+ s, the last with Code 0x' <<<"$held")"
expect_eq "name held: the warning" 1 "$(grep -cF "$warning" <<<"$held")"
taken=$(sed -n 's/.*PipeServer - Pipe created after \([0-9]*\) failed attempts; this process serves it from now on$/\1/p' <<<"$held")
if [ -n "$taken" ] && [ "$taken" -ge 60 ]; then pass; else fail "name held: taken after '$taken' attempts"; fi
expect_eq "name held: one event" 1 "$(service_events "$events" | grep -c ':eventlog:ReportEventW L"CreateNamedPipe: Code 0x')"

# A start-up failure: no log folder can be made (a file stands where the service's
# ProgramData should be, which no moving aside of the log's own folders mends) and the
# account's temporary directory is not a directory, so the log cannot name a fallback and
# start-up throws. The service must end STOPPED with 1066.
public="$prefix/drive_c/users/Public"
mv "$public" "$public.away"
touch "$public"
temp="$prefix/drive_c/users/$(whoami)/Temp"
rm -rf "$temp"
touch "$temp"
wine sc start Orvanet >/dev/null 2>&1
service_wait_state STOPPED 30 || fail "failed start did not end STOPPED"
expect_eq "exit code of a failed start" 1066 "$(service_exit_code)"
# The one event, an error with the start-up's own reason, since no log of the service says it.
expect_eq "event of the failed start" \
    'err:eventlog:ReportEventW L"Exception during startup: ' \
    "$(service_events "$events" | grep '^err:' | head -n 1 | cut -c1-54)"
rm -f "$temp" && mkdir -p "$temp"
rm -f "$public" && mv "$public.away" "$public"

finish
