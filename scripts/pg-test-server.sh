#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests, living entirely in one folder.
#   pg-test-server.sh start DIR   initialises and starts it; prints the store address to use
#   pg-test-server.sh stop DIR    stops it (the folder can then be removed)
#   pg-test-server.sh halt DIR    stops it but keeps its data (fault tests: the store goes away)
#   pg-test-server.sh resume DIR  starts a halted one again on the same socket
# It listens on a Unix socket inside DIR only, so it cannot clash with anything else. As root,
# the server runs as the "postgres" user (PostgreSQL refuses to run as root).
# Exit status 3: no PostgreSQL server binaries on this machine.
set -euo pipefail

action=${1:-}
dir=${2:-}
if [[ -z $action || -z $dir ]]; then
    echo "usage: $0 start|stop|halt|resume DIR" >&2
    exit 2
fi

bin=${PG_BIN:-}
if [[ -z $bin ]]; then
    for candidate in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [[ -x $candidate/initdb && -x $candidate/pg_ctl ]]; then bin=$candidate; break; fi
    done
fi
if [[ -z $bin || ! -x $bin/initdb ]]; then
    echo "no PostgreSQL server binaries (looked in /usr/lib/postgresql/*/bin; set PG_BIN)" >&2
    exit 3
fi

as_owner=()
if [[ $(id -u) -eq 0 ]]; then as_owner=(runuser -u postgres --); fi

cluster_of() {
    if [[ -f $1/cluster ]]; then cat "$1/cluster"; else echo "$1"; fi
}

run_server() {
    "${as_owner[@]}" "$bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 \
        -o "-k $1 -c listen_addresses='' -p 5432 -c fsync=off -c max_connections=60" start >/dev/null ||
        { cat "$1/server.log" >&2; exit 1; }
}

case "$action" in
start)
    mkdir -p "$dir"
    cluster=$dir
    if [[ $(id -u) -eq 0 ]]; then
        # The postgres user may not be able to reach DIR; its cluster lives in a folder of its
        # own under /tmp, recorded in DIR so that "stop" finds it.
        cluster=$(mktemp -d /tmp/colloq-pg.XXXXXX)
        chown postgres: "$cluster"
        chmod 0700 "$cluster"
        echo "$cluster" >"$dir/cluster"
    fi
    "${as_owner[@]}" "$bin/initdb" -D "$cluster/data" -U colloq --auth=trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    run_server "$cluster"
    "${as_owner[@]}" "$bin/createdb" -h "$cluster" -p 5432 -U colloq colloq_test
    echo "postgresql://colloq@/colloq_test?host=$cluster"
    ;;
halt)
    cluster=$(cluster_of "$dir")
    "${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -m fast -w -t 60 stop >/dev/null
    ;;
resume)
    run_server "$(cluster_of "$dir")"
    ;;
stop)
    cluster=$(cluster_of "$dir")
    if [[ -f $cluster/data/postmaster.pid ]]; then
        "${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null
    fi
    if [[ $cluster != "$dir" && $cluster == /tmp/colloq-pg.* ]]; then rm -rf "$cluster"; fi
    ;;
*)
    echo "usage: $0 start|stop|halt|resume DIR" >&2
    exit 2
    ;;
esac
