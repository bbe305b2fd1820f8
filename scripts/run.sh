#!/usr/bin/env bash
# Tries ColloqChat on one machine: a local chat server and one or two clients, each client in a
# folder of its own (its settings files and logs live beside its executable, one client per folder).
#
#   scripts/run.sh          install what is missing, build, start the server (unless it is up)
#                           and the first client, from run/client-a/
#   scripts/run.sh second   start a second client from run/client-b/, reusing the server and the
#                           build when they are already there
#   scripts/run.sh stop     stop the server this script started
#
# The server keeps its SQLite store and its log in run/server/ and listens for the chat on
# 127.0.0.1:19991; it also serves the web pages on 127.0.0.1:80 when it may bind that port (as
# root it may). It keeps running after the clients close.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

chat_host=127.0.0.1
chat_port=19991
server_dir=$root/run/server
pid_file=$server_dir/colloqchat-server.pid
log_file=$server_dir/colloqchat-server.log
client_exe=$root/build/release/colloqchat
server_exe=$root/build/release/chatserver/colloqchat-server

# True when something answers on the chat port.
chat_port_open() {
    (exec 3<>"/dev/tcp/$chat_host/$chat_port") 2>/dev/null
}

# The process id of the server this script started, when that process is still that server.
running_server_pid() {
    [[ -f $pid_file ]] || return 1
    local pid
    pid=$(<"$pid_file")
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ -r /proc/$pid/cmdline ]] || return 1
    tr '\0' '\n' <"/proc/$pid/cmdline" | head -n 1 | grep -q 'colloqchat-server$' || return 1
    echo "$pid"
}

install_and_build() {
    scripts/install-deps.sh
    scripts/build.sh release colloqchat colloqchat-server
}

start_server() {
    if chat_port_open; then
        echo "run: a chat server already answers on $chat_host:$chat_port; using it"
        return
    fi
    mkdir -p "$server_dir"
    local log_start=0
    [[ -f $log_file ]] && log_start=$(stat -c %s "$log_file")
    echo "run: starting colloqchat-server (store and log in run/server/)"
    # Its own session, so that closing the client or the terminal leaves it running.
    setsid "$server_exe" --chat-listen "$chat_host:$chat_port" --data-dir "$server_dir" \
        </dev/null >>"$log_file" 2>&1 &
    echo $! >"$pid_file"
    local tries=0
    until chat_port_open; do
        if ! kill -0 "$(<"$pid_file")" 2>/dev/null; then
            echo "run: the server did not start; its log, $log_file, ends with:" >&2
            tail -n 20 "$log_file" >&2
            rm -f "$pid_file"
            exit 1
        fi
        ((++tries > 100)) && {
            echo "run: the server does not answer on $chat_host:$chat_port after 20 s; see $log_file" >&2
            exit 1
        }
        sleep 0.2
    done
    sleep 0.5 # its warning about port 80 follows right after the chat port opens
    local warning
    warning=$(tail -c +$((log_start + 1)) "$log_file" | grep -m 1 'the web pages are not served' || true)
    if [[ -n $warning ]]; then
        echo "run: the server could not listen on 127.0.0.1:80, so it serves no web pages; it says:"
        echo "     ${warning#* warning: }"
        [[ $(id -u) -ne 0 ]] && echo "     (port 80 needs root: run this script as root for the pages)"
        echo "     The clients still work through the chat port."
    else
        echo "run: the server serves its web pages on 127.0.0.1:80"
    fi
}

start_client() {
    local folder=$root/run/$1
    if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
        echo "run: no display (DISPLAY is not set); the client needs one, under Xvfb: Xvfb :95 & DISPLAY=:95 $0" >&2
        exit 1
    fi
    mkdir -p "$folder/logs"
    # Replaced by a rename, so a copy that is still running keeps its old file.
    cp "$client_exe" "$folder/colloqchat.new"
    mv -f "$folder/colloqchat.new" "$folder/colloqchat"
    echo "run: starting the client from run/$1/"
    cd "$folder"
    exec ./colloqchat
}

case "${1:-}" in
    "")
        install_and_build
        start_server
        start_client client-a
        ;;
    second)
        if [[ ! -x $client_exe || ! -x $server_exe ]]; then install_and_build; fi
        start_server
        start_client client-b
        ;;
    stop)
        if pid=$(running_server_pid); then
            kill "$pid"
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.2
            done
            rm -f "$pid_file"
            echo "run: server stopped"
        elif chat_port_open; then
            echo "run: a chat server answers on $chat_host:$chat_port, but this script did not start it" >&2
            exit 1
        else
            rm -f "$pid_file"
            echo "run: no server is running"
        fi
        ;;
    *)
        echo "usage: $0 [second|stop]" >&2
        exit 2
        ;;
esac
