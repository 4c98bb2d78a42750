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
control_runs=${ORVANET_BENCH_CONTROL_RUNS:-30}
stop_runs=${ORVANET_BENCH_STOP_RUNS:-10}
log_lines=${ORVANET_BENCH_LOG_LINES:-20000}

if [ -z "${ORVANET_BENCH_NETNS:-}" ]; then
    "$root/scripts/setup.sh"
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DORVANET_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" --target Orvanet orvanetctl tun2proxy fwpuclnt_standin \
        bench_pipe_client bench_echo_server bench_control_latency bench_scm_stop \
        bench_min_service bench_service_memory bench_log_throughput bench_dns_probe bench_pipeio_server >/dev/null
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
    printf '%s\n' "$out" | grep '^BENCH ' >>"$results" || true
}

echo "== installing the service in $prefix"
service_install "$prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" "$build"/bench/bench_*.exe
wine sc create OrvanetBenchMin binPath= "C:\\Orvanet\\bench_min_service.exe" >/dev/null

echo "== log: $log_lines lines through Logger::log and through a plain loop"
run log_throughput 'C:\bench-logs' "$log_lines"

# echo_variant MODE KEY: the echo server, bare or with its flush made another way, or
# (MODE pipe-io) the service's own pipe I/O layer answering alike.
echo_variant() {
    if [ "$1" = pipe-io ]; then
        wine "C:\\Orvanet\\bench_pipeio_server.exe" '\\.\pipe\OrvanetBench' "$((requests + 20))" \
            >"$prefix/echo.out" &
    else
        wine "C:\\Orvanet\\bench_echo_server.exe" '\\.\pipe\OrvanetBench' "$((requests + 20))" \
            "$1" >"$prefix/echo.out" &
    fi
    local pid=$!
    run pipe_client '\\.\pipe\OrvanetBench' "$requests" '{"command":"active"}' "$2"
    wait "$pid"
    tr -d '\r' <"$prefix/echo.out" | grep '^BENCH ' >>"$results"
}
echo "== bare echo server: $requests sequential exchanges"
echo_variant bare echo
echo "== the same echo server flushing on a short-lived thread per client, as the service does"
echo_variant thread-flush echo_thread_flush
echo "== the same echo server flushing on one long-lived helper thread"
echo_variant worker-flush echo_worker_flush
echo "== the service's own pipe I/O layer answering alike, without log or JSON"
echo_variant pipe-io pipeio

if [ "$ORVANET_BENCH_NETNS" != none ]; then
    echo "== DNS isolation alone, $control_runs times (the part of start and stop it is)"
    run dns_probe "$control_runs"
fi

echo "== the minimal service of ours, idle"
wine sc start OrvanetBenchMin >/dev/null
sleep 2
run service_memory OrvanetBenchMin minsvc_idle
wine sc stop OrvanetBenchMin >/dev/null

echo "== Orvanet: $requests sequential \"active\" exchanges"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30
sleep 2
run service_memory Orvanet svc_idle
run pipe_client '\\.\pipe\Orvanet' "$requests" '{"command":"active"}' svc
run service_memory Orvanet svc_loaded

if [ "$ORVANET_BENCH_NETNS" != none ]; then
    echo "== Orvanet: $control_runs start/stop cycles"
    run control_latency "$control_runs"
fi

echo "== STOP to STOPPED: $stop_runs runs each"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30
run scm_stop Orvanet "$stop_runs" svc_stop
run scm_stop OrvanetBenchMin "$stop_runs" minsvc_stop

echo
awk -f - "$results" <<'AWK'
{ med[$2] = $3; p99[$2] = $4; unit[$2] = $5; n[$2] = $6 }
function row(label, key, base, basename,   r) {
    if (!(key in med)) return
    r = "-"
    if (base in med && med[base] > 0) r = sprintf("%.2f", med[key] / med[base])
    printf "| %s | %s %s | %s | %s | %s |\n", label, fmt(med[key]), unit[key],
        (n[key] > 1 ? fmt(p99[key]) " " unit[key] : "-"),
        (base in med ? fmt(med[base]) " " unit[base] " (" basename ")" : "-"), r
}
function fmt(v) { return v >= 100 ? sprintf("%.0f", v) : v >= 10 ? sprintf("%.1f", v) : sprintf("%.3f", v) }
END {
    print "| figure | median | p99 | baseline (median) | ratio |"
    print "|---|---|---|---|---|"
    row("\"active\" round trip, " n["svc_rt"] " sequential", "svc_rt", "echo_rt", "bare echo pipe server")
    row("  echo server, flush on a new thread per client", "echo_thread_flush_rt", "echo_rt", "bare echo pipe server")
    row("  echo server, flush on one long-lived thread", "echo_worker_flush_rt", "echo_rt", "bare echo pipe server")
    row("  the service's pipe I/O layer alone", "pipeio_rt", "echo_rt", "bare echo pipe server")
    row("requests per second", "svc_rps", "echo_rps", "bare echo pipe server")
    row("start latency minus 500 ms grace, " n["start_latency"] " runs", "start_latency", "control_active_rt", "\"active\" in the same runs")
    row("  of a start: interface lookup alone", "dns_resolve", "control_active_rt", "\"active\" in the same runs")
    row("  of a start: DNS filters installed alone", "dns_apply", "control_active_rt", "\"active\" in the same runs")
    row("stop latency, " n["stop_latency"] " runs", "stop_latency", "control_active_rt", "\"active\" in the same runs")
    row("  of a stop: DNS filters removed alone", "dns_restore", "control_active_rt", "\"active\" in the same runs")
    row("STOP to STOPPED, " n["svc_stop"] " runs", "svc_stop", "minsvc_stop", "minimal service of ours")
    row("log line through Logger::log", "log_logger_line", "log_plain_line", "append-and-flush loop")
    row("log lines per second", "log_logger_lps", "log_plain_lps", "append-and-flush loop")
    row("  of a line: debugger mirror alone", "log_mirror_only", "log_plain_line", "append-and-flush loop")
    row("  a time stamp made afresh (now made once a second)", "log_stamp_only", "log_plain_line", "append-and-flush loop")
    row("peak working set, idle", "svc_idle_peak_ws", "minsvc_idle_peak_ws", "minimal service of ours")
    row("peak working set after " n["svc_rt"] + 20 " requests", "svc_loaded_peak_ws", "echo_peak_ws", "echo server after as many")
    row("working set now, after " n["svc_rt"] + 20 " requests", "svc_loaded_ws", "svc_idle_ws", "the service itself, idle")
}
AWK
if ! grep -q '^BENCH start_latency ' "$results"; then
    echo "(start and stop latency skipped: no network namespace, so no tunnel interface)"
fi
