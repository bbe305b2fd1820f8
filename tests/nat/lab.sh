#!/usr/bin/env bash
# A lab of network namespaces for calls through NAT routers: a public network with the chat
# server, the TURN server and the SIP relay, home routers that translate addresses, and one host
# per client. Nothing is joined to the machine's own interfaces; only 203.0.113.0/24 (the public
# side) and 10.0.0.0/8 (the homes and the carrier) are used.
#
#   lab.sh up PREFIX          build the lab; namespaces are named PREFIX-NAME
#   lab.sh down PREFIX        take it all away again
#   lab.sh counters PREFIX HOST   "IN OUT": UDP datagrams the host received and sent, SIP left out
#
# Hosts and what stands between each and the public network (the scenarios pair them up):
#   s1a s1b s2b s3a                 public addresses
#   lp                              a public address, for linphonec
#   s2a s3b s4a s4b s5a s6b         each behind a home router of its own whose mapping is
#                                   endpoint-independent (a port keeps its outside port whoever
#                                   it talks to); like any home router it lets in only answers
#   s5b                             behind a symmetric router (a new outside port per peer)
#   s6a                             behind a home router behind the carrier's router (both NAT)
# The public network holds the chat server (203.0.113.10), the TURN server (203.0.113.11) and
# the relay (203.0.113.12), which takes the calls to the call addresses it hands out on ports
# 20000-20999 on its SIP port.
set -euo pipefail

public_net=203.0.113
relay_address=$public_net.12
relay_sip_port=5060
relay_first_port=20000
relay_last_port=20999

# name, kind (public | ei | sym | double), number (addresses: public .20+N, home 10.N.0.0/24)
hosts=(
    "s1a public 1" "s1b public 2" "s2a ei 3" "s2b public 4" "s3a public 5" "s3b ei 6"
    "s4a ei 7" "s4b ei 8" "s5a ei 9" "s5b sym 10" "s6a double 11" "s6b ei 12" "lp public 13"
)

ns() { ip netns exec "$@"; }

# A veth pair from the public bridge to `interface` in namespace `other`.
attach_public() {
    local prefix=$1 other=$2 interface=$3 address=$4 number=$5
    ip -n "$prefix-pub" link add "p$number" type veth peer name "$interface" netns "$other"
    ip -n "$prefix-pub" link set "p$number" master br0 up
    ip -n "$other" addr add "$address/24" dev "$interface"
    ip -n "$other" link set "$interface" up
    # The public network stands for the whole internet: programs that find their own address by
    # the route to somewhere far away find it here.
    ip -n "$other" route add default dev "$interface"
}

new_ns() {
    ip netns add "$1"
    ip -n "$1" link set lo up
}

# A router in `router` whose LAN side is `lan` (10.N.0.1/24 to the host's 10.N.0.2) and whose
# outside interface is "wan"; the host's side is `inner` (eth0 unless given). `mode` ei: outside ports kept per inside port; sym: a random
# outside port for every new flow. Inbound, only what answers a flow from inside gets through.
make_router() {
    local router=$1 host=$2 lan=$3 mode=$4 inner=${5:-eth0}
    ip -n "$router" link add lan type veth peer name "$inner" netns "$host"
    ip -n "$router" addr add "$lan.1/24" dev lan
    ip -n "$router" link set lan up
    ip -n "$host" addr add "$lan.2/24" dev "$inner"
    ip -n "$host" link set "$inner" up
    ip -n "$host" route add default via "$lan.1"
    ns "$router" sysctl -qw net.ipv4.ip_forward=1
    local masquerade="masquerade"
    [[ $mode == sym ]] && masquerade="masquerade fully-random"
    ns "$router" nft -f - <<EOF
table ip home {
    chain forward {
        type filter hook forward priority 0; policy drop;
        iifname "lan" accept
        ct state established,related accept
    }
    chain postrouting {
        type nat hook postrouting priority 100;
        oifname "wan" $masquerade
    }
}
EOF
}

# Counts the UDP datagrams of a host other than SIP's (port 5060 at either end): media, and the
# few checks and TURN messages that come with it.
add_counters() {
    ns "$1" nft -f - <<'EOF'
table inet media {
    chain in {
        type filter hook input priority 0;
        udp sport != 5060 udp dport != 5060 counter
    }
    chain out {
        type filter hook output priority 0;
        udp sport != 5060 udp dport != 5060 counter
    }
}
EOF
}

up() {
    local prefix=$1
    down "$prefix" 2>/dev/null || true
    new_ns "$prefix-pub"
    ip -n "$prefix-pub" link add br0 type bridge
    ip -n "$prefix-pub" link set br0 up
    for last in 10 11 12; do ip -n "$prefix-pub" addr add "$public_net.$last/24" dev br0; done
    # Calls to a relayed call address reach the relay's SIP port; its answers leave from the
    # port they were sent to. The chat server's own checks start in this namespace.
    ns "$prefix-pub" nft -f - <<EOF
table ip relay {
    chain prerouting {
        type nat hook prerouting priority -100;
        ip daddr $relay_address udp dport $relay_first_port-$relay_last_port dnat to $relay_address:$relay_sip_port
    }
    chain output {
        type nat hook output priority -100;
        ip daddr $relay_address udp dport $relay_first_port-$relay_last_port dnat to $relay_address:$relay_sip_port
    }
}
EOF
    local entry name kind number
    for entry in "${hosts[@]}"; do
        read -r name kind number <<<"$entry"
        local host="$prefix-$name"
        new_ns "$host"
        case $kind in
            public)
                attach_public "$prefix" "$host" eth0 "$public_net.$((20 + number))" "$number"
                ;;
            ei | sym)
                new_ns "$prefix-r$number"
                attach_public "$prefix" "$prefix-r$number" wan "$public_net.$((100 + number))" "$number"
                make_router "$prefix-r$number" "$host" "10.$number.0" "$kind"
                ;;
            double)
                # The carrier's router on the public side, the home router behind it.
                new_ns "$prefix-c$number"
                attach_public "$prefix" "$prefix-c$number" wan "$public_net.$((100 + number))" "$number"
                new_ns "$prefix-r$number"
                make_router "$prefix-c$number" "$prefix-r$number" "10.200.$number" ei wan
                make_router "$prefix-r$number" "$host" "10.$number.0" ei
                ;;
        esac
        add_counters "$host"
    done
}

down() {
    local prefix=$1 name
    for name in $(ip netns list | awk '{print $1}'); do
        [[ $name == "$prefix"-* ]] || continue
        # Whatever still runs in the namespace goes with it.
        local pids
        pids=$(ip netns pids "$name" 2>/dev/null || true)
        [[ -n $pids ]] && kill -9 $pids 2>/dev/null || true
        ip netns del "$name"
    done
}

counters() {
    local host=$1-$2 in out
    in=$(ns "$host" nft list chain inet media in | awk '/counter/ {for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1)}')
    out=$(ns "$host" nft list chain inet media out | awk '/counter/ {for (i = 1; i < NF; i++) if ($i == "packets") print $(i + 1)}')
    echo "$in $out"
}

case "${1:-}" in
    up) up "$2" ;;
    down) down "$2" ;;
    counters) counters "$2" "$3" ;;
    *)
        echo "usage: $0 up|down PREFIX | counters PREFIX HOST" >&2
        exit 2
        ;;
esac
