#!/usr/bin/env bash
# What leaves the machine as DNS, shown with packets: the service under Wine's Service Control
# Manager with the stand-in engine and WFP library, in a network of two real paths (orvantun
# and a "physical" link, each to a resolver of its own), where an agent has the namespace's
# kernel enforce the filters the stand-in has committed. A probe asks as a Windows program
# asks, over every path at once, before "start", while active, after "stop", after a service
# STOP and after the engine crashed the service. Writes WORK/leak-table.md.
# Usage: dns_leaks.sh BUILD_DIR WORK_DIR
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
work=$2

source "$here/../../scripts/netns-lib.sh"
netns_e2e paths "the DNS leak test needs a network of its own and is skipped" \
    "${BASH_SOURCE[0]}" "$@"
$with_tun || exit 0

source "$here/../../scripts/wine-env.sh"
source "$here/../../scripts/service-lib.sh"
source "$here/check.sh"

# One row per path: what it is | the probe's kind, address and port | its result while the
# VPN is active (before "start" and after any end of it, every path answers) | why.
p4=$two_paths_physical4 p6=$two_paths_physical6 t4=$two_paths_tunnel4 t6=$two_paths_tunnel6
leak_paths=(
    "DNS, UDP 53, IPv4, physical|udp $p4 53|no answer|DNS by port off the tunnel: blocked"
    "DNS, UDP 53, IPv6, physical|udp $p6 53|no answer|DNS by port off the tunnel: blocked"
    "DNS, TCP 53, IPv4, physical|tcp $p4 53|no answer|DNS by port off the tunnel: blocked"
    "DNS, TCP 53, IPv6, physical|tcp $p6 53|no answer|DNS by port off the tunnel: blocked"
    "DNS over TLS, TCP 853, IPv4, physical|tcp $p4 853|no answer|DNS by port off the tunnel: blocked"
    "DNS over TLS, TCP 853, IPv6, physical|tcp $p6 853|no answer|DNS by port off the tunnel: blocked"
    "DNS, UDP 53, IPv4, orvantun|udp $t4 53|answered|permitted on the tunnel's interface"
    "DNS, UDP 53, IPv6, orvantun|udp $t6 53|answered|permitted on the tunnel's interface"
    "DNS, TCP 53, IPv4, orvantun|tcp $t4 53|answered|permitted on the tunnel's interface"
    "DNS, TCP 53, IPv6, orvantun|tcp $t6 53|answered|permitted on the tunnel's interface"
    "DNS over TLS, TCP 853, IPv4, orvantun|tcp $t4 853|answered|permitted on the tunnel's interface"
    "DNS over TLS, TCP 853, IPv6, orvantun|tcp $t6 853|answered|permitted on the tunnel's interface"
    "DNS over HTTPS (TCP 443), IPv4, physical|tcp $p4 443|answered|gap: not DNS by port, not filtered"
    "DNS over HTTPS (TCP 443), IPv6, physical|tcp $p6 443|answered|gap: not DNS by port, not filtered"
    "LLMNR, UDP 5355 to 224.0.0.252|send 224.0.0.252 5355|arrived|gap: not filtered"
    "mDNS, UDP 5353 to 224.0.0.251|send 224.0.0.251 5353|arrived|gap: not filtered"
    "NetBIOS name service, UDP 137 broadcast, physical|send $two_paths_broadcast 137|arrived|gap: not filtered"
    "DNS, UDP 53, loopback 127.0.0.1|udp 127.0.0.1 53|no answer|loopback is not the tunnel: blocked too"
    "DNS, UDP 53, loopback ::1|udp ::1 53|no answer|loopback is not the tunnel: blocked too"
)
phases=(before active stopped servicestop crashed)
declare -A seen

cleanup() {
    agent_stop
    [ -z "${listener:-}" ] || kill "$listener" 2>/dev/null
    service_remove
}
trap cleanup EXIT
mkdir -p "$work"
rm -f "$work/arrivals.txt"

# probe_phase PHASE: every path asked at once, each judged by its answer or, for the kinds
# nothing answers, by the listener's word that it arrived; each result checked.
probe_phase() {
    local phase=$1 i label probe expected why kind address port args=() line cell want
    for i in "${!leak_paths[@]}"; do
        IFS='|' read -r label probe expected why <<<"${leak_paths[$i]}"
        args+=("p$i" $probe)
    done
    wine "C:\\Orvanet\\dns_probe.exe" "$phase" "${args[@]}" </dev/null 2>"$work/probe-stderr.txt" |
        tr -d '\r' >"$work/probe-$phase.txt"
    sleep 0.3 # the last datagrams on their way to the listener
    for i in "${!leak_paths[@]}"; do
        IFS='|' read -r label probe expected why <<<"${leak_paths[$i]}"
        read -r kind address port <<<"$probe"
        line=$(grep "^p$i " "$work/probe-$phase.txt")
        line=${line#p"$i" }
        if [ "$kind" != send ]; then
            cell=$([ "$line" = answered ] && echo answered || echo "no answer")
            want=answered
        else
            cell=$([ "$line" = sent ] && grep -qx "$port $phase" "$work/arrivals.txt" &&
                echo arrived || echo "did not arrive")
            want=arrived
        fi
        [ "$phase" != active ] || want=$expected
        seen[$phase/$i]=$cell
        expect_eq "$phase: $label (probe: ${line:-nothing})" "$want" "$cell"
    done
}

# settled STATE WHEN: the agent enforces the newest rules with the engine STATE.
settled() {
    if agent_settled "$1"; then pass; else fail "$2: the rules in force are not known"; fi
}

table_absent() {
    if nft list table inet orvanet_wfp >/dev/null 2>&1; then
        fail "$1: the agent's table is still there"
    else
        pass
    fi
}

service_install "$work/prefix" Orvanet "$build/bin/Orvanet.exe" "$build/bin/tun2proxy.dll" \
    "$build/bin/orvanetctl.exe" "$build/standin/fwpuclnt.dll" "$build/tests/e2e/dns_probe.exe"
agent_start "$WINEPREFIX/drive_c/Orvanet" "$work"
ip netns exec "$ORVANET_E2E_NETNS-p" python3 "$here/arrival_listener.py" "$work/arrivals.txt" \
    "$p4" </dev/null >"$work/listener.log" 2>&1 &
listener=$!
for i in $(seq 50); do
    grep -qx ready "$work/arrivals.txt" 2>/dev/null && break
    sleep 0.1
done
grep -qx ready "$work/arrivals.txt" 2>/dev/null || fail "the arrival listener did not start"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "service not RUNNING"
started='{"message":"VPN started successfully","status":"ok"}'
stopped='{"message":"VPN stopped successfully","status":"ok"}'

settled closed "before start"
probe_phase before

expect_ctl "start" 0 "$started" start
settled open "while active"
said=${agent_said:-nothing}
expect_eq "rules while active" "12 rules in force" "${said##*: }"
# The permits name the tunnel by the index the service resolved: nft lists it by its name.
expect_eq "the interface the permits name" 'oif "orvantun"' \
    "$(nft list table inet orvanet_wfp 2>/dev/null | grep -o 'oif [^ ]*' | sort -u)"
probe_phase active

# The problem report's picture of this network while the VPN is up: both paths with their
# addresses, the tunnel marked, the default route, and no hardware address as it is.
ctl collect 'C:\report-active' --log-folder 'C:\users\Public\Pellmarrow\Orvanet\logs'
network="$WINEPREFIX/drive_c/report-active/network.txt"
# adapter NAME: the lines of that adapter's entry in network.txt.
adapter() { awk -v head="  $1" 'index($0, head) == 1 {on = 1; next} /^  [^ ]/ {on = 0} on' "$network" | tr -d '\r'; }
for expected in "orvantun [the tunnel]:|10.77.1.1/24" "physical:|10.77.2.1/24" \
    "physical:|gateways: 10.77.2.2"; do
    name=${expected%%|*} line=${expected#*|}
    case "$(adapter "$name")" in
    *"$line"*) pass ;;
    *) fail "network.txt: $name without '$line': $(cat "$network")" ;;
    esac
done
if grep -qE '^  0\.0\.0\.0/0 via 10\.77\.2\.2, interface [0-9]+, metric' "$network"; then pass; else
    fail "network.txt: no default route via the physical path: $(cat "$network")"
fi
# Wine's own WFP client, which orvanetctl loads from System32, has no engine to enumerate:
# summary.txt says so, and that is no failure of the report.
if grep -qxF "not gathered: filters.txt: FwpmEngineOpen0 failed: 1764" \
    <(tr -d '\r' <"$WINEPREFIX/drive_c/report-active/summary.txt"); then
    pass
else
    fail "summary.txt of filters.txt: $(grep -F filters.txt "$WINEPREFIX/drive_c/report-active/summary.txt")"
fi
# With the stand-in as the platform's own WFP client, reading what the service's stand-in
# committed: the twelve filters of the service's sublayer, permits and blocks at both layers.
cp "$build/standin/fwpuclnt.dll" "$WINEPREFIX/drive_c/windows/system32/fwpuclnt.dll"
ORVANET_STANDIN_STATE='C:\Orvanet' WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}fwpuclnt=n" \
    ctl collect 'C:\report-filters' --log-folder 'C:\users\Public\Pellmarrow\Orvanet\logs'
filters="$WINEPREFIX/drive_c/report-filters/filters.txt"
for expected in "^  #[0-9]+ outbound transport v4, sublayer \{8F6A0F7D-2ED2-4D79-A21F-7B2D11417398\} \(the service's\), weight [0-9]+, permit, provider none: Orvanet D[A-Za-z]+ allow \([A-Z]+/[0-9]+\); protocol = [0-9]+, remote port = [0-9]+, interface index = [0-9]+$|3" \
    "^  #[0-9]+ outbound transport v6, .*, block, provider none: Orvanet DoT allow \(TCP/853\) \(block\); protocol = 6, remote port = 853$|1" \
    "\(the service's\)|12" "permit, |6" "block, |6"; do
    expect_eq "filters.txt: lines like '${expected%|*}'" "${expected##*|}" \
        "$(tr -d '\r' <"$filters" 2>/dev/null | grep -cE "${expected%|*}")"
done
if grep -qiE '([0-9a-f]{2}[-:]){5}[0-9a-f]{2}' "$network"; then
    fail "network.txt: a hardware address left as it is: $(grep -iE '([0-9a-f]{2}[-:]){5}' "$network")"
else
    pass
fi

expect_ctl "stop" 0 "$stopped" stop
settled closed "after stop"
probe_phase stopped

expect_ctl "start again" 0 "$started" start
settled open "active again"
wine sc stop Orvanet >/dev/null
service_wait_state STOPPED 30 || fail "service not STOPPED"
settled closed "after the service stopped"
table_absent "after the service stopped"
probe_phase servicestop

# The engine faults on its own thread: the process ends, and with it its dynamic session.
echo "fault-after-start" >"$WINEPREFIX/drive_c/Orvanet/tun2proxy-standin.txt"
wine sc start Orvanet >/dev/null
service_wait_state RUNNING 30 || fail "crash: service not RUNNING"
expect_ctl "start before the crash" 0 "$started" start
if service_after_crash 'C:\\Orvanet\\Orvanet.exe'; then
    pass
else
    fail "crash: Orvanet.exe runs on"
fi
settled closed "after the crash"
table_absent "after the crash"
probe_phase crashed

{
    echo "| Path | Before \"start\" | While active | After \"stop\" | After a service STOP | After a crash | Why |"
    echo "|---|---|---|---|---|---|---|"
    for i in "${!leak_paths[@]}"; do
        IFS='|' read -r label probe expected why <<<"${leak_paths[$i]}"
        row="| $label |"
        for phase in "${phases[@]}"; do row+=" ${seen[$phase/$i]:-not probed} |"; done
        echo "$row $why |"
    done
} >"$work/leak-table.md"
cat "$work/leak-table.md"
finish
