#!/usr/bin/env bash
# Benchmarks of the running service, one command: sets up, builds into build-bench/ (or
# $ORVANET_BUILD_DIR), then, in a network namespace of its own with a TUN interface
# "orvantun" (so it needs root; without one it says so and skips start and stop latency),
# installs Orvanet.exe under Wine's Service Control Manager in a private prefix and
# measures it against baselines of ours measured in the same run. Prints one table and
# ends with nothing running. Not part of scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVANET_BUILD_DIR:-$root/build-bench}
requests=${ORVANET_BENCH_REQUESTS:-10000}
block=${ORVANET_BENCH_BLOCK:-1000}
control_runs=${ORVANET_BENCH_CONTROL_RUNS:-100}
stop_runs=${ORVANET_BENCH_STOP_RUNS:-20}
log_lines=${ORVANET_BENCH_LOG_LINES:-20000}

if [ -z "${ORVANET_BENCH_NETNS:-}" ]; then
    "$root/scripts/setup.sh"
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DORVANET_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target Orvanet orvanetctl tun2proxy fwpuclnt_standin \
        bench_pipe_client bench_echo_server bench_control_latency bench_scm_stop \
        bench_min_service bench_service_memory bench_log_throughput bench_dns_probe bench_pipeio_server \
        bench_redaction >/dev/null
    export ORVANET_BUILD_DIR=$build
    source "$root/scripts/netns-lib.sh"
    netns_reexec ORVANET_BENCH_NETNS tun "${BASH_SOURCE[0]}" ||
    echo "== no network namespace could be made (needs root and 'ip netns'): start and stop" \
        "latency are skipped, since \"start\" needs the interface"
    export ORVANET_BENCH_NETNS=none
fi

source "$root/scripts/wine-env.sh"
source "$root/scripts/service-lib.sh"

prefix="$build/bench-prefix"
results=$(mktemp)
cleanup() {
    if [ -n "${service_prefix:-}" ]; then
        wine sc stop OrvanetBenchMin </dev/null >/dev/null 2>&1 || true
        wine sc delete OrvanetBenchMin </dev/null >/dev/null 2>&1 || true
    fi
    service_remove
    rm -f "$results"
}
trap cleanup EXIT

# run PROGRAM ARGS...: a bench program in the prefix; its figures are kept, its failure
# ends the run.
run() {
    local out
    out=$(wine "C:\\Orvanet\\bench_$1.exe" "${@:2}" | tr -d '\r')
    printf '%s\n' "$out" | grep -E '^(BENCH|RATIO) ' >>"$results" || true
}

echo "== installing the service in $prefix"
service_install "$prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" "$build"/bench/bench_*.exe
wine sc create OrvanetBenchMin binPath= "C:\\Orvanet\\bench_min_service.exe" >/dev/null

echo "== log: $log_lines lines through Logger::log, a plain loop, the mirror and the stamp"
run log_throughput 'C:\bench-logs' "$log_lines"

echo "== the problem report's redaction: seconds per MiB of log, learning and replacing"
run redaction

echo "== the minimal service of ours, idle"
wine sc start OrvanetBenchMin >/dev/null
sleep 2
run service_memory OrvanetBenchMin minsvc_idle
wine sc stop OrvanetBenchMin >/dev/null

echo "== Orvanet, idle"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
sleep 2
run service_memory Orvanet svc_idle
# Wake-ups of an idle process, from Linux: each thread's context switches (voluntary and
# not) over a span, as a minute's worth; the total is a row, the threads that woke are named.
switches() { # PID: "TID COUNT NAME" for each of its threads
    local task
    [ -n "$1" ] && [ -d "/proc/$1/task" ] || return 0
    for task in /proc/"$1"/task/*; do
        awk -v tid="${task##*/}" '/^Name:/ {name = $2}
            /ctxt_switches:/ {n += $2} END {print tid, n, name}' "$task/status" 2>/dev/null
    done
}
wakeups() { # SECONDS NAME=PID...: measured side by side over the same seconds
    local span=$1 pair name pid total tid count thread before
    declare -A start
    shift
    for pair in "$@"; do start[$pair]=$(switches "${pair#*=}"); done
    sleep "$span"
    for pair in "$@"; do
        name=${pair%%=*} pid=${pair#*=} total=0
        if [ -z "${start[$pair]}" ]; then
            echo "   $name: no process to measure"
            continue
        fi
        while read -r tid count thread; do
            before=$(awk -v tid="$tid" '$1 == tid {print $2}' <<<"${start[$pair]}")
            [ -n "$before" ] || continue
            count=$(((count - before) * 60 / span))
            total=$((total + count))
            [ "$count" -eq 0 ] || echo "   $name: thread $tid ($thread) woke $count times a minute"
        done < <(switches "$pid")
        echo "   $name: $(wc -l <<<"${start[$pair]}") threads, $total wake-ups a minute"
        echo "BENCH ${name}_idle_wakeups $total $total /min 1" >>"$results"
    done
}

# The service's own log, as Windows names it, for the programs that time its steps by it.
log_rel=$(cd "$prefix/drive_c" && find . -name Orvanet_service.log -path '*Orvanet/logs/*' |
    head -n 1)
log_file="C:$(printf '%s' "${log_rel#.}" | tr / '\\')"
log_unix="$prefix/drive_c/${log_rel#./}"

echo "== wake-ups a minute, idle: Orvanet and the minimal service side by side, 30 s from 12 s"
wine sc start OrvanetBenchMin >/dev/null
sleep 12
wakeups 30 svc="$(prefix_pids 'C:\\Orvanet\\Orvanet.exe' | head -n 1)" \
    minsvc="$(prefix_pids 'bench_min_service.exe' | head -n 1)"
wine sc stop OrvanetBenchMin >/dev/null

# Every server of the round trip runs at once, each on a pipe of its own, and one client
# takes them in turn a block at a time: the plain floor first, then the variants, then the
# service.
echo "== round trips: $requests each, in blocks of $block, against five servers side by side"
servers=()
serve() { # KEY PROGRAM ARGS...
    wine "C:\\Orvanet\\bench_$2.exe" "\\\\.\\pipe\\OrvanetBench$1" "$((requests + 20))" \
        "${@:3}" </dev/null >/dev/null 2>&1 &
    servers+=($!)
}
serve Floor echo_server
serve ThreadFlush echo_server thread-flush
serve WorkerFlush echo_server worker-flush
serve PipeIo pipeio_server
# What each "active" adds to the service's log: the bytes the log grew by over the round
# trips, by the requests it logged (every line of a request stays: support reads them).
log_before=$(stat -c %s "$log_unix")
run pipe_client "$requests" "$block" '{"command":"active"}' \
    'floor=\\.\pipe\OrvanetBenchFloor' 'pipeio=\\.\pipe\OrvanetBenchPipeIo' \
    'echo_worker_flush=\\.\pipe\OrvanetBenchWorkerFlush' \
    'echo_thread_flush=\\.\pipe\OrvanetBenchThreadFlush' 'request_lines=@C:\bench-logs\request.log' \
    'svc=\\.\pipe\Orvanet'
wait "${servers[@]}"
logged=$(tail -c "+$((log_before + 1))" "$log_unix" | grep -c 'PipeServer::processCommand - Command type: active') || true
if [ -e "$log_unix.old" ]; then
    echo "   the log rotated during the round trips: no bytes per request"
elif [ "$logged" -gt 0 ]; then
    per=$((($(stat -c %s "$log_unix") - log_before) / logged))
    echo "BENCH log_bytes_per_active $per $per bytes $logged" >>"$results"
fi
run service_memory Orvanet svc_loaded

if [ "$ORVANET_BENCH_NETNS" != none ]; then
    echo "== Orvanet: $control_runs start/stop cycles after one not counted"
    run control_latency "$control_runs" "$log_file"
fi

echo "== STOP to STOPPED: $stop_runs runs each, Orvanet and the minimal service in turn"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30
run scm_stop "$stop_runs" Orvanet svc_stop "$log_file" OrvanetBenchMin minsvc_stop

echo
awk -f - "$results" <<'AWK'
$1 == "BENCH" { med[$2] = $3; p99[$2] = $4; unit[$2] = $5; n[$2] = $6 }
$1 == "RATIO" { rmed[$2] = $4; rlo[$2] = $5; rhi[$2] = $6; rn[$2] = $7 }
function fmt(v) { return v == int(v) ? sprintf("%d", v) : v >= 100 ? sprintf("%.0f", v) : v >= 10 ? sprintf("%.1f", v) : sprintf("%.3f", v) }
# The ratio of pairs measured side by side where there are such pairs (their median, and
# the lowest and highest), else the ratio of the two medians.
function ratio(key, base) {
    if (key in rmed)
        return sprintf("%.2f (%.2f to %.2f over %d pairs)", rmed[key], rlo[key], rhi[key], rn[key])
    if (base in med && med[base] > 0) return sprintf("%.2f", med[key] / med[base])
    return "-"
}
# Under 100 samples the nearest-rank p99 is the slowest sample, and is called that.
function tail(key) {
    if (n[key] >= 100) return fmt(p99[key]) " " unit[key]
    if (n[key] > 1) return "slowest " fmt(p99[key]) " " unit[key]
    return "-"
}
function row(label, key, base, basename) {
    if (!(key in med)) return
    printf "| %s | %s %s | %s | %s | %s |\n", label, fmt(med[key]), unit[key], tail(key),
        (base in med ? fmt(med[base]) " " unit[base] " (" basename ")" : "-"), ratio(key, base)
}
# A step of a whole measured in the same runs: its share of the whole, run by run.
function part(label, key, whole, wholename) {
    if (!(key in med)) return
    printf "| %s | %s %s | %s | %s | %.0f%% of it |\n", label, fmt(med[key]), unit[key],
        tail(key), fmt(med[whole]) " " unit[whole] " (" wholename ")", 100 * med[key "_share"]
}
END {
    print "| figure | median | p99 | baseline (median) | ratio |"
    print "|---|---|---|---|---|"
    row("\"active\" round trip, " n["svc_rt"] " sequential", "svc_rt", "floor_rt", "plain pipe server")
    row("  the service's pipe I/O layer alone", "pipeio_rt", "floor_rt", "plain pipe server")
    row("  plain server, flush on one long-lived thread", "echo_worker_flush_rt", "floor_rt", "plain pipe server")
    row("  plain server, flush on a new thread per client", "echo_thread_flush_rt", "floor_rt", "plain pipe server")
    row("  the request's six log lines alone, written as the service writes them", "request_lines_rt", "floor_rt", "plain pipe server")
    row("  the round trip less those lines", "svc_unlogged_rt", "floor_rt", "plain pipe server")
    row("requests per second, wall clock", "svc_rps", "floor_rps", "plain pipe server")
    row("log bytes per \"active\", " n["log_bytes_per_active"] " requests", "log_bytes_per_active", "-", "-")
    row("start latency minus 500 ms grace, " n["start_latency"] " runs", "start_latency", "control_active_rt", "\"active\" in the same runs")
    part("  of a start: request and engine launch, grace excluded", "start_launch", "start_latency", "the start")
    part("  of a start: DNS isolation (interface lookup, filters) and answer", "start_isolation", "start_latency", "the start")
    row("stop latency, " n["stop_latency"] " runs", "stop_latency", "control_active_rt", "\"active\" in the same runs")
    part("  of a stop: engine stopped and its thread joined", "stop_engine", "stop_latency", "the stop")
    part("  of a stop: DNS filters removed and answer", "stop_isolation", "stop_latency", "the stop")
    row("STOP to STOPPED, " n["svc_stop"] " runs", "svc_stop", "minsvc_stop", "minimal service of ours")
    row("  of it: the wait before the shut-down begins", "svc_stop_wait", "-", "-")
    row("  of it: the shut-down itself", "svc_stop_shutdown", "minsvc_stop", "minimal service of ours")
    row("log line through Logger::log", "log_logger_line", "log_plain_line", "append-and-flush loop")
    row("  debugger mirror alone", "log_mirror_only", "log_plain_line", "append-and-flush loop")
    row("  a local-time stamp made afresh", "log_stamp_only", "log_plain_line", "append-and-flush loop")
    row("log lines per second, wall clock", "log_logger_lps", "log_plain_lps", "append-and-flush loop")
    row("redaction, one user's own requests", "redact_own_requests", "-", "-")
    row("  every word like a learnt name or short form", "redact_like_names", "-", "-")
    row("  one line of 8 MiB, 256 names of the same first letters", "redact_shared_prefix_line", "-", "-")
    row("peak working set, idle", "svc_idle_peak_ws", "minsvc_idle_peak_ws", "minimal service of ours")
    row("wake-ups a minute, idle", "svc_idle_wakeups", "minsvc_idle_wakeups", "minimal service of ours")
    row("working set after " n["svc_rt"] + 20 " requests", "svc_loaded_ws", "svc_idle_ws", "the service itself, idle")
    row("peak working set after " n["svc_rt"] + 20 " requests", "svc_loaded_peak_ws", "svc_idle_peak_ws", "the service itself, idle")
}
AWK
if ! grep -q '^BENCH start_latency ' "$results"; then
    echo "(start and stop latency skipped: no network namespace, so no tunnel interface)"
fi
