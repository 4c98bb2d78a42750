#!/usr/bin/env bash
# The whole service under Wine's Service Control Manager, driven only from outside:
# orvanetctl as the client, sc as the Service Control Manager. The test plays the tunnel
# engine's part of creating the TUN interface, in a network namespace of its own, and puts
# the stand-in fwpuclnt.dll beside the service to check and record the filters it gets.
# Usage: whole_service.sh BUILD_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$2

# Re-run inside a fresh network namespace, where orvantun can be made without touching
# the machine's own interfaces.
source "$here/../../scripts/netns-lib.sh"
netns_e2e no-tun "the cases that need the tunnel interface are skipped" "${BASH_SOURCE[0]}" "$@"

source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"
trap 'service_remove' EXIT

mkdir -p "$work"
dir="Orvanet"

# The stand-in WFP library's report: "filters N", "engines N", ...; before its first call
# it has written nothing, and nothing exists.
wfp() {
    local state="$WINEPREFIX/drive_c/$dir/fwpuclnt-state.txt"
    if [ -f "$state" ]; then
        awk -v key="$1" '$1 == key {print $2}' "$state"
    else
        echo 0
    fi
}

# The log lines written from now on go to a file of their own for the order checks.
log_mark() { mark=$(wc -l <"$(service_log)"); }
log_since_mark() {
    tail -n "+$((mark + 1))" "$(service_log)" | tr -d '\r' >"$work/$1.log"
    echo "$work/$1.log"
}

# mapped NAME: where the running service has NAME (a DLL's file name) mapped from, if at all.
mapped() {
    local pid
    pid=$(prefix_pids 'C:\\Orvanet\\Orvanet.exe' | head -n 1)
    [ -n "$pid" ] || { echo "no service process"; return; }
    grep -iF "/$1" "/proc/$pid/maps" | awk '{print $NF}' | sort -u
}

# refused_start NAME RESPONSE_PATTERN: "start" is refused with a response matching the
# pattern, nothing is left running, and the service stops cleanly. Sets refused: the response.
refused_start() {
    local name=$1 pattern=$2
    ctl start
    refused=$out
    expect_eq "$name: exit status" 1 "$rc"
    # shellcheck disable=SC2254 # a pattern, unquoted on purpose
    case "$out" in
    $pattern) pass ;;
    *) fail "$name: response '$out'" ;;
    esac
    expect_ctl "$name: active after it" 0 "$inactive" active
    expect_ctl "$name: stop after it" 0 "$stopped" stop
    wine sc stop Orvanet >/dev/null
    service_wait_state STOPPED 30 || fail "$name: service not STOPPED"
    expect_eq "$name: exit code" 0 "$(service_exit_code)"
}

service_running_pid_gone() {
    [ -z "$(prefix_pids 'C:\\Orvanet\\Orvanet.exe')" ]
}

inactive='{"message":"inactive","running":false,"status":"ok"}'
active='{"message":"active","running":true,"status":"ok"}'
started='{"message":"VPN started successfully","status":"ok"}'
stopped='{"message":"VPN stopped successfully","status":"ok"}'

install() { # PREFIX_NAME EXTRA_FILES...
    local name=$1
    shift
    service_install "$work/$name" "$dir" "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
        "$build/bin/orvanetctl.exe" "$@"
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "$name: service not RUNNING"
}

# --- The service with the stand-in WFP library: the full session -------------------------
install prefix-whole "$build/standin/fwpuclnt.dll"
# Only the privileges it needs, removed before the pipe serves: read back from the running
# process's token, and named in one line.
expect_eq "privileges of the running service" "SeChangeNotifyPrivilege, SeLoadDriverPrivilege" \
    "$(wine "$build/tests/e2e/token_privileges.exe" 2>&1 | tr -d '\r')"
# The pipe's thread and the service main thread log at once: each after the line, apart.
for after in "] [INFO] PipeServer::serverLoop - Thread started" "] [INFO] Service is now running"; do
    expect_in_order "$(service_log)" "] [INFO] === Service starting ===" \
        "] [INFO] Privileges kept: SeChangeNotifyPrivilege, SeLoadDriverPrivilege (" "$after"
done
if grep -qF "] [WARN] " "$(service_log)"; then
    fail "start-up warnings: $(grep -F "] [WARN] " "$(service_log)" | head -n 3)"
else
    pass
fi
expect_ctl "active on a fresh service" 0 "$inactive" active
# The WFP client, IP Helper and the engine are loaded by the first start, not held while idle.
expect_eq "WFP client held while idle" "" "$(mapped fwpuclnt.dll)"
expect_eq "IP Helper held while idle" "" "$(mapped iphlpapi.dll)"
expect_eq "engine held while idle" "" "$(mapped tun2proxy.dll)"

# The text of "send" arrives as typed, in UTF-8: never re-coded, never best-fitted to ASCII.
LC_ALL=C.UTF-8 expect_ctl "non-ASCII command" 1 \
    '{"message":"Unknown command: stärt","status":"error"}' send '{"command":"stärt"}'
LC_ALL=C.UTF-8 expect_ctl "CJK command" 1 \
    '{"message":"Unknown command: 日本","status":"error"}' send '{"command":"日本"}'
LC_ALL=C.UTF-8 ctl send '{＂command＂:＂active＂}'
expect_eq "full-width quotes: exit status" 1 "$rc"
case "$out" in
'{"message":"JSON parse error: '*'","status":"error"}') pass ;;
*) fail "full-width quotes: response '$out'" ;;
esac
# An answer that cannot be written is no success.
wine "C:\\$dir\\orvanetctl.exe" active >/dev/full 2>"$work/ctl-stderr.txt"
expect_eq "active to a full standard output: exit status" 2 "$?"
if grep -qF "its response could not be written to standard output" "$work/ctl-stderr.txt"; then
    pass
else
    fail "active to a full standard output: '$(cat "$work/ctl-stderr.txt")'"
fi

if $with_tun; then
    # No interface yet: the wait runs out and the engine is stopped again.
    ctl start
    expect_eq "start without interface: exit status" 1 "$rc"
    case "$out" in
    '{"message":"Failed to resolve tunnel interface '"'"'orvantun'"'"': '*'(waited '*'ms)","status":"error"}') pass ;;
    *) fail "start without interface: response '$out'" ;;
    esac
    expect_ctl "active after the failed start" 0 "$inactive" active
    expect_eq "filters after the failed start" 0 "$(wfp filters)"

    # The interface appears about a second after the start, as the engine would make it.
    log_mark
    (sleep 1 && ip tuntap add dev orvantun mode tun && ip link set orvantun up) &
    maker=$!
    expect_ctl "start" 0 "$started" start
    wait "$maker" || fail "could not make the TUN interface"
    expect_eq "filters while running" 12 "$(wfp filters)"
    expect_eq "WFP client loaded from" "$WINEPREFIX/drive_c/$dir/fwpuclnt.dll" "$(mapped fwpuclnt.dll)"
    expect_eq "engine loaded from" "$WINEPREFIX/drive_c/$dir/tun2proxy.dll" "$(mapped tun2proxy.dll)"
    expect_eq "sublayers while running" 1 "$(wfp sublayers)"
    expect_eq "filters the stand-in refused" 0 "$(wfp rejected)"
    expect_ctl "active while running" 0 "$active" active
    expect_ctl "second start" 1 '{"message":"VPN already running","status":"error"}' start
    expect_ctl "stop" 0 "$stopped" stop
    expect_eq "filters after stop" 0 "$(wfp filters)"
    expect_eq "engines after stop" 0 "$(wfp engines)"
    expect_ctl "active after stop" 0 "$inactive" active
    expect_ctl "stop when stopped" 0 "$stopped" stop

    # The pipe thread's lines, the worker's and the engine's each in their own order; across
    # threads only what the code orders: the worker is made after the callback is set, the
    # engine ends only once told to, and the join and the restore wait for the worker's end.
    session=$(log_since_mark session)
    expect_in_order "$session" \
        "] [INFO] PipeServer - Client connected" \
        "] [INFO] PipeServer::processCommand - Command type: start" \
        "] [INFO] PipeServer::handleStart - Starting tun2proxy" \
        "] [INFO] VpnService::start - Entry" \
        "] [INFO] VpnService::start - Starting tun2proxy..." \
        "] [INFO] VpnService::startTun2proxy - Starting thread..." \
        "] [INFO] VpnService::startTun2proxy - Log callback set" \
        "] [INFO] VpnService::startTun2proxy - Thread started successfully" \
        "] [INFO] VpnService::start - Applying DNS isolation..." \
        "] [INFO] DnsManager::applyIsolation - Waiting for tunnel interface 'orvantun' to appear..." \
        "] [INFO] DnsManager::applyIsolation - Tunnel interface 'orvantun' resolved after " \
        "] [INFO] DnsManager::applyIsolation - WFP DNS isolation enabled (tunnel ifIndex=" \
        "] [INFO] VpnService::start - VPN started successfully" \
        "] [INFO] PipeServer - Response sent, length: 52" \
        "] [INFO] PipeServer::processCommand - Command type: stop" \
        "] [INFO] VpnService::stop - Entry" \
        "] [INFO] VpnService::stopTun2proxy - Stopping..." \
        "] [INFO] VpnService::stopTun2proxy - Calling tun2proxy_stop()..." \
        "] [INFO] VpnService::stopTun2proxy - Waiting for thread to finish..." \
        "] [INFO] VpnService::stopTun2proxy - Thread finished" \
        "] [INFO] DnsManager::restore - WFP DNS isolation disabled" \
        "] [INFO] VpnService::stopTun2proxy - Stopped" \
        "] [INFO] VpnService::stop - Completed" \
        "] [INFO] PipeServer - Response sent, length: 52"
    expect_in_order "$session" \
        "] [INFO] tun2proxyThreadFunc - Thread started" \
        "] [INFO] tun2proxyThreadFunc - Starting tun2proxy with proxy_url=socks5://127.0.0.1:12735, tun=orvantun" \
        "] [INFO] tun2proxyThreadFunc - About to call tun2proxy_with_name_run..." \
        "] [INFO] tun2proxy: stand-in engine: tunnel orvantun to socks5://127.0.0.1:12735" \
        "] [DEBUG] tun2proxy: stand-in engine: bypass 10.255.255.255/32, dns strategy 2, verbosity 4, no root" \
        "] [INFO] tun2proxy: stand-in engine: stopped" \
        "] [INFO] tun2proxyThreadFunc - tun2proxy_with_name_run returned: 0" \
        "] [INFO] tun2proxyThreadFunc - Thread exiting"
    expect_in_order "$session" \
        "] [INFO] VpnService::startTun2proxy - Log callback set" \
        "] [INFO] tun2proxyThreadFunc - Thread started"
    expect_in_order "$session" \
        "] [INFO] VpnService::stopTun2proxy - Calling tun2proxy_stop()..." \
        "] [INFO] tun2proxy: stand-in engine: stopped" \
        "] [INFO] tun2proxyThreadFunc - Thread exiting" \
        "] [INFO] VpnService::stopTun2proxy - Thread finished" \
        "] [INFO] DnsManager::restore - WFP DNS isolation disabled"

    # STOP while the VPN runs: the VPN goes first, while the pipe server still serves.
    expect_ctl "start again" 0 "$started" start
    expect_eq "filters while running again" 12 "$(wfp filters)"
    log_mark
    wine sc stop Orvanet >/dev/null
    service_wait_state STOPPED 30 || fail "service not STOPPED"
    expect_eq "exit code after a stop while running" 0 "$(service_exit_code)"
    expect_eq "filters after the service stopped" 0 "$(wfp filters)"
    expect_eq "engines after the service stopped" 0 "$(wfp engines)"
    shutdown=$(log_since_mark shutdown)
    expect_in_order "$shutdown" \
        "] [INFO] Service received STOP control" \
        "] [INFO] Service shutting down..." \
        "] [INFO] Stopping VPN..." \
        "] [INFO] VpnService::stop - Entry" \
        "] [INFO] DnsManager::restore - WFP DNS isolation disabled" \
        "] [INFO] VpnService::stop - Completed" \
        "] [INFO] PipeServer stopping..." \
        "] [INFO] PipeServer stopped" \
        "] [INFO] Winsock cleaned up" \
        "] [INFO] === Service stopped ===" \
        "] [INFO] === Service logging closing ==="
else
    echo "SKIP: start with a tunnel interface, the filters, a stop while running"
fi

# A STOP while the VPN is idle: no "Stopping VPN..." line.
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "restart: service not RUNNING"
log_mark
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30 || fail "service not STOPPED"
expect_eq "exit code after an idle stop" 0 "$(service_exit_code)"
idle=$(log_since_mark idle-stop)
expect_in_order "$idle" "] [INFO] Service shutting down..." "] [INFO] PipeServer stopped" \
    "] [INFO] === Service stopped ==="
if grep -qF "Stopping VPN..." "$idle"; then fail "idle stop logged 'Stopping VPN...'"; else pass; fi
service_remove

# --- Code loading: a library the engine loads by its plain name (as the real engine loads
# its driver's, wintun.dll) comes from beside the service, never from a folder on the
# system PATH nor from the service's current folder (C:\windows) --------------------------
echo "load-wintun" >"$work/tun2proxy-standin.txt"
install prefix-planted "$build/standin/fwpuclnt.dll" "$work/tun2proxy-standin.txt"
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
system_path=$(registry_value "$environment" PATH)
wine reg add "$environment" /v PATH /t REG_EXPAND_SZ /d "$system_path;C:\tools" /f >/dev/null
# A service's PATH is the one services.exe read when it started.
wine_prefix_shutdown "$WINEPREFIX"
wine_prefix_persist "$WINEPREFIX"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "planted: service not RUNNING"
planted="$build/tests/e2e/planted/wintun.dll"
# plant_and_start NAME FOLDER: a copy planted in C:\FOLDER (none if empty), then a start,
# whose answer does not matter here: the engine loads the library as its run begins.
plant_and_start() {
    if [ -n "$2" ]; then
        mkdir -p "$WINEPREFIX/drive_c/$2" && cp "$planted" "$WINEPREFIX/drive_c/$2/"
    fi
    log_mark
    ctl start
    ctl stop
    loaded=$(grep -F "] tun2proxy: stand-in engine: wintun.dll " "$(log_since_mark "$1")" |
        sed 's/.*stand-in engine: //')
}
plant_and_start planted-path tools
expect_eq "a copy on the system PATH" "wintun.dll not loaded: error 126" "$loaded"
plant_and_start planted-cwd windows
expect_eq "a copy in the current folder" "wintun.dll not loaded: error 126" "$loaded"
plant_and_start planted-beside "$dir"
expect_eq "a copy beside the service" "wintun.dll loaded from C:\\$dir\\wintun.dll" "$loaded"
for folder in tools windows; do
    if [ -e "$WINEPREFIX/drive_c/$folder/wintun-loaded.txt" ]; then
        fail "the copy in C:\\$folder ran in the service"
    else
        pass
    fi
done
if [ -e "$WINEPREFIX/drive_c/$dir/wintun-loaded.txt" ]; then pass; else
    fail "the copy beside the service did not run"
fi
service_remove

# --- The engine: loaded by the first start and refused clearly when it is missing or of a
# later release, while the service serves on; put right, it is loaded by the next start ---
supported="supported engine releases: tun2proxy 0.7.17 and earlier, beside Orvanet.exe"
# engine_refused NAME ANSWER FILE...: a service with FILE... beside it starts and answers
# active; start is refused with ANSWER (the message, as in the log), in one ERROR line and
# one event; stop still answers.
engine_refused() {
    local name=$1 answer=$2 events="$work/events-$1.txt"
    shift 2
    ORVANET_EVENTLOG_TRACE=$events service_install "$work/prefix-$name" "$dir" \
        "$build/bin/Orvanet.exe" "$build/bin/orvanetctl.exe" "$@"
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "$name: service not RUNNING"
    expect_ctl "$name: active" 0 "$inactive" active
    expect_ctl "$name: start" 1 \
        "{\"message\":\"${answer//\\/\\\\}\",\"status\":\"error\"}" start
    expect_eq "$name: the error lines" "VpnService::startTun2proxy - $answer" \
        "$(grep -F '] [ERROR] ' "$(service_log)" | tr -d '\r' | sed 's/^\[[^]]*\] \[ERROR\] //')"
    expect_eq "$name: the event" "err:eventlog:ReportEventW L\"${answer//\\/\\\\}\"
err:eventlog:ReportEventW L\"\"" "$(service_events "$events")"
    expect_ctl "$name: active after it" 0 "$inactive" active
    expect_ctl "$name: stop after it" 0 "$stopped" stop
    expect_eq "$name: engine held after it" "" "$(mapped tun2proxy.dll)"
}
engine_refused no-engine "tun2proxy.dll could not be loaded (error 126); $supported"
# Put right while the service runs: the stand-in, in a mode whose run fails as a run
# without a default gateway does. The answer stays the start's, the log has the file, the
# code and its meaning, and nothing warns.
echo "run-error" >"$WINEPREFIX/drive_c/$dir/tun2proxy-standin.txt"
cp "$build/bin/tun2proxy.dll" "$WINEPREFIX/drive_c/$dir/"
log_mark
expect_ctl "a run error: start" 1 \
    '{"message":"tun2proxy thread exited prematurely","status":"error"}' start
expect_ctl "a run error: stop" 0 "$stopped" stop
run_error=$(log_since_mark run-error)
expect_in_order "$run_error" \
    "] [INFO] VpnService::startTun2proxy - Starting thread..." \
    "] [INFO] VpnService - Engine loaded: tun2proxy.dll (no version information) from C:\\$dir\\tun2proxy.dll" \
    "] [INFO] VpnService::startTun2proxy - Log callback set" \
    "] [ERROR] VpnService::startTun2proxy - Thread exited prematurely"
expect_in_order "$run_error" \
    "] [ERROR] tun2proxy: stand-in engine: no default gateway found" \
    "] [INFO] tun2proxyThreadFunc - tun2proxy_with_name_run returned: -4" \
    "] [ERROR] tun2proxyThreadFunc - Error: tun2proxy returned non-zero code: -4" \
    "] [INFO] tun2proxyThreadFunc - Code -4: the run failed (no default gateway, "
if grep -F "] [WARN] " "$run_error" | grep -qvF "] [WARN] PipeServer - Answered with an error: "; then
    fail "a run error: warnings: $(grep -F "] [WARN] " "$run_error" | head -n 3)"
else
    pass
fi
service_remove
engine_refused later-engine "C:\\$dir\\tun2proxy.dll lacks tun2proxy_with_name_run; $supported" \
    "$build/tests/doubles/engine/later/tun2proxy.dll"
service_remove

if $with_tun; then
    # --- Wine's own WFP: the isolation cannot be installed, so start fails and cleans up --
    events="$work/events-platform-wfp.txt"
    ORVANET_EVENTLOG_TRACE=$events install prefix-platform-wfp
    refused_start "start on the platform's WFP" \
        '{"message":"FwpmEngineOpen0 failed: [0-9]*","status":"error"}'
    # The failed start in the Application log, with the client's answer as its text; the
    # stops after it write none.
    expect_eq "the failed start's event" \
        "err:eventlog:ReportEventW L\"$(sed 's/^{"message":"\(.*\)","status":"error"}$/\1/' <<<"$refused")\"
err:eventlog:ReportEventW L\"\"" \
        "$(service_events "$events")"
    service_remove

    # --- No WFP library at all: the first call into it fails with a status, logged -------
    ORVANET_WINE_OVERRIDES="fwpuclnt=d" install prefix-no-wfp
    refused_start "start without a WFP library" \
        '{"message":"FwpmEngineOpen0 failed: 126","status":"error"}'
    expect_in_order "$(service_log)" \
        "] [ERROR] Failed to load fwpuclnt.dll on first use: error 126" \
        "] [INFO] VpnService::stopTun2proxy - Stopped" \
        "] [INFO] === Service stopped ==="
    service_remove

    # --- An engine that never returns: the shut-down bound ends the process -------------
    echo "ignore-stop" >"$work/tun2proxy-standin.txt"
    events="$work/events-hung-engine.txt"
    ORVANET_EVENTLOG_TRACE=$events install prefix-hung-engine "$build/standin/fwpuclnt.dll" \
        "$work/tun2proxy-standin.txt"
    expect_ctl "start with a hanging engine" 0 "$started" start
    if service_running_pid_gone; then fail "hung engine: the service's process not seen"; else pass; fi
    # A client's stop is bounded: it is told, within the bound, that the engine did not stop
    # and DNS stays blocked; the pipe serves on and the filters stay.
    began=$(date +%s)
    ctl stop
    took=$(($(date +%s) - began))
    expect_eq "hung engine: the stop's answer" \
        '{"message":"tun2proxy did not stop within 10 seconds; DNS stays blocked until it does - call stop() again","status":"error"}' \
        "$out"
    if [ "$took" -le 12 ]; then pass; else fail "hung engine: the stop answered after $took s"; fi
    expect_ctl "hung engine: active right after" 0 "$active" active
    expect_eq "hung engine: filters after the stop" 12 "$(wfp filters)"
    wine sc stop Orvanet >/dev/null
    service_wait_state STOPPED 60 || fail "hung engine: service not STOPPED"
    # The stop was asked for: 0, so that recovery does not restart what an administrator or
    # an upgrade is stopping; the log and the event say that the bound ended it.
    expect_eq "exit code after the shut-down bound" 0 "$(service_exit_code)"
    sleep 2
    if service_running_pid_gone; then pass; else fail "Orvanet.exe still runs after the bound"; fi
    # The stand-in accepts only a dynamic session, whose filters the platform removes with
    # the process: nothing stays behind although nobody deleted them.
    expect_eq "hung engine: filters held by a dynamic session" 0 "$(wfp rejected)"
    # The shut-down that the STOP began is still bounded: the process ends at 30 s. The
    # shut-down's own thread keeps asking the engine to stop while the service main thread
    # waits out the bound, so each thread's lines are checked apart.
    expect_in_order "$(service_log)" \
        "] [INFO] Service received STOP control" \
        "] [INFO] Service shutting down..." \
        "] [INFO] Stopping VPN..." \
        "] [WARN] VpnService::stopTun2proxy - Thread still running after "
    expect_in_order "$(service_log)" \
        "] [INFO] Service shutting down..." \
        "] [ERROR] Shutdown did not finish within 30 seconds, still waiting for VpnService::stop (the tunnel engine has not ended); ending the process" \
        "] [INFO] === Service logging closing ==="
    # The engine's stop token was taken by the first stop: the repeats' -1 is said once by
    # each stop, the client's and the shut-down's, and never warned.
    expect_eq "hung engine: what the stops answered" \
        "2 [INFO] VpnService::stopTun2proxy - tun2proxy_stop() returned -1: no run to stop (not begun yet, ended, or already told)" \
        "$(grep -F 'tun2proxy_stop() returned' "$(service_log)" | tr -d '\r' | sed 's/^\[[^]]*\] //' |
            sort | uniq -c | sed 's/^ *//')"
    expect_eq "the unfinished shut-down's event" 'err:eventlog:ReportEventW L"30"
err:eventlog:ReportEventW L"VpnService::stop (the tunnel engine has not ended)"
err:eventlog:ReportEventW L""' \
        "$(service_events "$events")"
    service_remove

    # --- An engine that faults on its own thread: a dump, a last line, the process gone ----
    echo "fault-after-start" >"$work/tun2proxy-standin.txt"
    events="$work/events-crash.txt"
    ORVANET_EVENTLOG_TRACE=$events service_install "$work/prefix-crash" "$dir" "$build/bin/Orvanet.exe" \
        "$build/bin/tun2proxy.dll" "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" \
        "$work/tun2proxy-standin.txt"
    # Six dumps of earlier crashes: only the newest four stay beside the new one. Four
    # planted with later names (second names of a file of the planter's) count for nothing:
    # they neither push the real ones out nor are deleted.
    logs=$(dirname "$(service_log)")
    mkdir -p "$logs"
    for i in 1 2 3 4 5 6; do
        echo "old" >"$logs/Orvanet_crash_2020010${i}_000000_1.dmp"
    done
    echo "theirs" >"$work/planted-dump"
    for i in 1 2 3 4; do
        ln "$work/planted-dump" "$logs/Orvanet_crash_9999010${i}_000000_1.dmp"
    done
    wine sc start Orvanet >/dev/null
    service_wait_state RUNNING 30 || fail "crash: service not RUNNING"
    expect_ctl "start with an engine about to fault" 0 "$started" start
    if service_running_pid_gone; then fail "crash: the service's process not seen"; else pass; fi
    for i in $(seq 100); do
        service_running_pid_gone && break
        sleep 0.2
    done
    # Wine's SCM may still say RUNNING for a dead process: the process itself is checked.
    if service_running_pid_gone; then pass; else fail "crash: Orvanet.exe still runs"; fi
    dumps=$(cd "$logs" && ls Orvanet_crash_*.dmp 2>/dev/null | tr '\n' ' ')
    expect_eq "crash: old dumps kept" "Orvanet_crash_20200103_000000_1.dmp Orvanet_crash_20200104_000000_1.dmp Orvanet_crash_20200105_000000_1.dmp Orvanet_crash_20200106_000000_1.dmp" \
        "$(echo "$dumps" | tr ' ' '\n' | grep '_2020' | tr '\n' ' ' | sed 's/ $//')"
    expect_eq "crash: planted dumps left alone" 4 "$(echo "$dumps" | tr ' ' '\n' | grep -c '_9999')"
    new_dump=$(echo "$dumps" | tr ' ' '\n' | grep -v '_2020' | grep -v '_9999' | grep . || true)
    expect_eq "crash: one new dump" 1 "$(echo "$new_dump" | grep -c .)"
    size=$(stat -c %s "$logs/$new_dump" 2>/dev/null || echo 0)
    if [ "$size" -gt 4096 ]; then pass; else fail "crash: dump of $size bytes"; fi
    # The fault first, then what became of the dump.
    first=$(tail -n 2 "$logs/Orvanet_crash.log" 2>/dev/null | head -n 1 | tr -d '\r')
    last=$(tail -n 1 "$logs/Orvanet_crash.log" 2>/dev/null | tr -d '\r')
    case "$first" in
    *"] [ERROR] Unhandled exception 0xC0000005 at tun2proxy.dll+0x"*"; writing crash dump $new_dump") pass ;;
    *) fail "crash: first line '$first'" ;;
    esac
    case "$last" in
    *"] [ERROR] Crash dump written: $new_dump ($size bytes)") pass ;;
    *) fail "crash: last line '$last'" ;;
    esac
    # Both lines again in the Application log, after them.
    expect_eq "crash: the event" "err:eventlog:ReportEventW L\"${first#*\] \[ERROR\] }\"
err:eventlog:ReportEventW L\"${last#*\] \[ERROR\] }\"" "$(service_events "$events")"
    service_remove
fi

finish
