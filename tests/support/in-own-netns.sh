#!/bin/sh
# Runs a test program in a network namespace of its own, with only its loopback up, so that the
# packets it records and the firewall rules it sets touch nothing else. Without root the program
# runs where it is and skips what needs the namespace.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c 'ip link set lo up && COLLOQ_NETNS=1 exec "$0" "$@"' "$@"
fi
exec "$@"
