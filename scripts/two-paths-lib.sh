# A test network with two real paths for DNS, and the agent that enforces the stand-in WFP
# library's filters in it. Source it.
#
# In the namespace NS, "orvantun" is one end of a veth pair into the peer NS-t, the tunnel's
# far side, and "physical" one into NS-p, the network the machine would otherwise use (the
# default routes go there). Each peer runs dnsmasq answering probe.test on UDP and TCP 53 and,
# as plain TCP listeners, 853 (and 443 on the physical side), over IPv4 and IPv6; NS itself
# runs one on loopback. Every process is started with its streams on /dev/null.

two_paths_tunnel4=10.77.1.2
two_paths_tunnel6=fd77:1::2
two_paths_physical4=10.77.2.2
two_paths_physical6=fd77:2::2
two_paths_broadcast=10.77.2.255

# two_paths_resolver NS PORT ADDRESS...: dnsmasq in NS answering probe.test on PORT at each
# ADDRESS; it detaches once its sockets are bound.
two_paths_resolver() {
    local ns=$1 port=$2 address args=()
    shift 2
    for address in "$@"; do args+=("--listen-address=$address"); done
    ip netns exec "$ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
        --port="$port" "${args[@]}" --address=/probe.test/10.9.9.9 --user=root --pid-file= \
        </dev/null >/dev/null 2>&1
}

# two_paths_up NS: the peers, links, addresses, routes and resolvers around NS. The peers go
# into ORVANET_NETNS_RECORD, when set, before anything runs in them.
two_paths_up() {
    local ns=$1 path link far number
    for path in t p; do
        ip netns add "$ns-$path" || return 1
        [ -z "${ORVANET_NETNS_RECORD:-}" ] || echo "$ns-$path" >>"$ORVANET_NETNS_RECORD"
        ip -n "$ns-$path" link set lo up
    done
    for path in "1 orvantun t" "2 physical p"; do
        read -r number link far <<<"$path"
        far=$ns-$far
        ip -n "$ns" link add "$link" type veth peer name far netns "$far" || return 1
        ip -n "$ns" address add "10.77.$number.1/24" dev "$link"
        ip -n "$ns" address add "fd77:$number::1/64" dev "$link" nodad
        ip -n "$far" address add "10.77.$number.2/24" dev far
        ip -n "$far" address add "fd77:$number::2/64" dev far nodad
        ip -n "$ns" link set "$link" up
        ip -n "$far" link set far up
    done
    ip -n "$ns" route add default via "$two_paths_physical4"
    ip -n "$ns" -6 route add default via "$two_paths_physical6"
    two_paths_resolver "$ns-t" 53 "$two_paths_tunnel4" "$two_paths_tunnel6" &&
        two_paths_resolver "$ns-t" 853 "$two_paths_tunnel4" "$two_paths_tunnel6" &&
        two_paths_resolver "$ns-p" 53 "$two_paths_physical4" "$two_paths_physical6" &&
        two_paths_resolver "$ns-p" 853 "$two_paths_physical4" "$two_paths_physical6" &&
        two_paths_resolver "$ns-p" 443 "$two_paths_physical4" "$two_paths_physical6" &&
        two_paths_resolver "$ns" 53 127.0.0.1 ::1
}

# two_paths_down NS: every process in NS and its peers ended, the peers removed.
two_paths_down() {
    local ns pids
    for ns in "$1-t" "$1-p" "$1"; do
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null
    done
    ip netns del "$1-t" 2>/dev/null
    ip netns del "$1-p" 2>/dev/null
    return 0
}

# agent_start FOLDER WORK: the agent, in this namespace, enforcing what the stand-in beside the
# service in FOLDER commits; it acknowledges in WORK/agent-ack.txt and logs to WORK/agent.log.
agent_start() {
    agent_folder=$1
    agent_ack=$2/agent-ack.txt
    rm -f "$agent_ack"
    python3 "$(dirname "${BASH_SOURCE[0]}")/nft-agent.py" "$agent_folder" "$agent_ack" \
        </dev/null >"$2/agent.log" 2>&1 &
    agent_pid=$!
}

agent_stop() {
    [ -n "${agent_pid:-}" ] || return 0
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
    agent_pid=
}

# agent_settled STATE: waits, up to 5 s, until the agent enforces the stand-in's newest
# generation with the engine STATE (open or closed); sets agent_said. Otherwise, a dead agent
# included, it says why and returns 1: no probe may trust rules that are not known in force.
agent_settled() {
    local want=$1 i generation said
    agent_said=
    for ((i = 0; i < 100; i++)); do
        generation=$(awk 'NR == 1 {print $2}' "$agent_folder/fwpuclnt-nft.txt" 2>/dev/null)
        said=$(cat "$agent_ack" 2>/dev/null)
        case "$said" in
        "generation ${generation:-0} engine $want: "*" rules in force")
            agent_said=$said
            return 0
            ;;
        esac
        if ! kill -0 "${agent_pid:-0}" 2>/dev/null; then
            echo "the nft agent is not running (it last said: ${said:-nothing})" >&2
            return 1
        fi
        sleep 0.05
    done
    echo "the nft agent does not enforce generation ${generation:-0} with the engine $want" \
        "(it says: ${said:-nothing})" >&2
    return 1
}
