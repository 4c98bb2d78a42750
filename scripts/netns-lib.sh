# Running a script again inside a network namespace of its own, where a TUN interface can
# be made without touching the machine's interfaces. Source it.

# netns_reexec MARKER TUN SCRIPT [ARGS...]: runs SCRIPT again in a fresh namespace (with the
# interface orvantun already made when TUN is "tun"), with the variable MARKER set to the
# namespace's name, removes the namespace and exits with the script's status. Returns 1,
# having changed nothing, where no namespace can be made (it needs root and "ip netns").
netns_reexec() {
    local marker=$1 tun=$2 script=$3 ns="orvanet-$$" status=0
    shift 3
    if [ "$(id -u)" -ne 0 ] || ! ip netns add "$ns" 2>/dev/null; then
        return 1
    fi
    ip netns exec "$ns" ip link set lo up
    if [ "$tun" = tun ]; then
        ip netns exec "$ns" ip tuntap add dev orvantun mode tun
        ip netns exec "$ns" ip link set orvantun up
    fi
    env "$marker=$ns" ip netns exec "$ns" bash "$script" "$@" || status=$?
    ip netns del "$ns"
    exit "$status"
}
