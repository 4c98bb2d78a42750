# Running a script again inside a network namespace of its own, where a TUN interface can
# be made without touching the machine's interfaces. Source it.
# shellcheck source=scripts/two-paths-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/two-paths-lib.sh"

# netns_reexec MARKER TUN SCRIPT [ARGS...]: runs SCRIPT again in a fresh namespace (with the
# interface orvantun already made when TUN is "tun", or the two paths of two-paths-lib.sh
# when it is "paths"), with the variable MARKER set to the
# namespace's name, removes the namespace and exits with the script's status. Returns 1,
# having changed nothing, where no namespace can be made (it needs root and "ip netns").
# With ORVANET_NETNS_RECORD set, the namespace's name is added to that file first, so that
# netns_cleanup_recorded can remove it should this script be killed before it does.
netns_reexec() {
    local marker=$1 tun=$2 script=$3 ns="orvanet-$$" status=0
    shift 3
    if [ "$(id -u)" -ne 0 ] || ! ip netns add "$ns" 2>/dev/null; then
        return 1
    fi
    if [ -n "${ORVANET_NETNS_RECORD:-}" ]; then
        echo "$ns" >>"$ORVANET_NETNS_RECORD"
    fi
    ip netns exec "$ns" ip link set lo up
    if [ "$tun" = tun ]; then
        ip netns exec "$ns" ip tuntap add dev orvantun mode tun
        ip netns exec "$ns" ip link set orvantun up
    fi
    if [ "$tun" = paths ] && ! two_paths_up "$ns"; then
        echo "FAIL: the test network's two paths could not be made" >&2
        status=1
    else
        env "$marker=$ns" ip netns exec "$ns" bash "$script" "$@" || status=$?
    fi
    [ "$tun" != paths ] || two_paths_down "$ns"
    ip netns del "$ns"
    exit "$status"
}

# netns_cleanup_recorded RECORD: ends every process still in a namespace named in RECORD,
# removes the namespace and empties RECORD.
netns_cleanup_recorded() {
    local record=$1 ns pids
    [ -f "$record" ] || return 0
    while IFS= read -r ns; do
        ip netns list 2>/dev/null | awk '{print $1}' | grep -qxF "$ns" || continue
        pids=$(ip netns pids "$ns" 2>/dev/null)
        echo "cleanup: removing the network namespace $ns left by a test${pids:+ (ending $(echo $pids))}"
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null
        ip netns del "$ns" 2>/dev/null || true
    done <"$record"
    : >"$record"
}

# netns_e2e TUN SKIPPED SCRIPT [ARGS...]: for an end-to-end script, runs SCRIPT again in a
# namespace of its own (see netns_reexec) unless it already runs in one; where none can be
# made it says what is skipped and goes on here. Sets with_tun: whether the namespace exists.
netns_e2e() {
    local tun=$1 skipped=$2 script=$3
    shift 3
    if [ -z "${ORVANET_E2E_NETNS:-}" ]; then
        netns_reexec ORVANET_E2E_NETNS "$tun" "$script" "$@" ||
            echo "SKIP: no network namespace can be made here (needs root and 'ip netns'); $skipped"
        export ORVANET_E2E_NETNS=none
    fi
    with_tun=true
    [ "$ORVANET_E2E_NETNS" = none ] && with_tun=false
}
