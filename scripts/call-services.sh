#!/usr/bin/env bash
# Writes the configuration of the two servers calls need beside colloqchat-server: coturn (STUN
# and TURN) and the SIP relay (Kamailio with packaging/relay/colloqchat-relay.cfg), with a fresh
# secret each shares with the chat server.
#
#   scripts/call-services.sh DIR TURN_ADDRESS RELAY_ADDRESS:SIP_PORT/FIRST-LAST [each]
#
# Into DIR: turn-secret and relay-secret (the chat server's --turn-secret-file and
# --relay-secret-file), turnserver.conf (turnserver -c DIR/turnserver.conf), and relay.cfg with
# relay-local.cfg and relay-secret.cfg (kamailio -f DIR/relay.cfg). Calls to the call addresses
# RELAY_ADDRESS:FIRST..LAST must reach the relay's SIP port: a firewall rule that redirects the
# block to it (see the README), or, with "each", a socket of the relay's own on every port of
# the block (for a small block, as for a trial on one machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if (($# < 3)); then
    sed -n '2,14p' "$0" >&2
    exit 2
fi
dir=$1 turn=$2 relay=$3 mode=${4:-}
relay_sip=${relay%%/*}
relay_address=${relay_sip%%:*}
relay_port=${relay_sip##*:}
block=${relay#*/}
first=${block%%-*}
last=${block##*-}
for number in "$relay_port" "$first" "$last"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "call-services: \"$relay\" is not ADDRESS:PORT/FIRST-LAST" >&2; exit 2; }
done

mkdir -p "$dir"
umask 077
for name in turn relay; do
    [[ -s $dir/$name-secret ]] || head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/$name-secret"
done

# The TURN server answers STUN on 3478 and relays media from the ports above 49152, for
# credentials of the chat server's making only. Peers on private networks stay out of reach
# of the relayed addresses; a trial on one machine needs the loopback ones.
loopback=""
[[ $turn == 127.* ]] && loopback="allow-loopback-peers"
cat >"$dir/turnserver.conf" <<CONF
listening-ip=$turn
relay-ip=$turn
listening-port=3478
min-port=49152
max-port=65535
realm=colloqchat
use-auth-secret
static-auth-secret=$(<"$dir/turn-secret")
fingerprint
no-tcp
no-tls
no-dtls
no-cli
no-multicast-peers
denied-peer-ip=0.0.0.0-0.255.255.255
denied-peer-ip=10.0.0.0-10.255.255.255
denied-peer-ip=100.64.0.0-100.127.255.255
denied-peer-ip=169.254.0.0-169.254.255.255
denied-peer-ip=172.16.0.0-172.31.255.255
denied-peer-ip=192.168.0.0-192.168.255.255
$loopback
simple-log
log-file=stdout
pidfile=$dir/turnserver.pid
CONF

cp "$root/packaging/relay/colloqchat-relay.cfg" "$dir/relay.cfg"
{
    echo "#!substdef \"!RELAY_ADDRESS!$relay_address!g\""
    echo "#!define FIRST_PORT $first"
    echo "#!define LAST_PORT $last"
    echo "listen=udp:$relay_address:$relay_port"
    if [[ $mode == each ]]; then
        for ((port = first; port <= last; port++)); do echo "listen=udp:$relay_address:$port"; done
        echo "children=1"
    fi
} >"$dir/relay-local.cfg"
echo "modparam(\"auth_ephemeral\", \"secret\", \"$(<"$dir/relay-secret")\")" >"$dir/relay-secret.cfg"
