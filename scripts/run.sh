#!/usr/bin/env bash
# Tries ColloqChat on one machine: a local chat server and one or two clients, each client in a
# folder of its own (its settings files and logs live beside its executable, one client per folder).
#
#   scripts/run.sh          install what is missing, build, start the server (unless it is up)
#                           and the first client, from run/client-a/
#   scripts/run.sh second   start a second client from run/client-b/, reusing the server and the
#                           build when they are already there
#   scripts/run.sh confirm  confirm every e-mail address whose confirmation mail is in
#                           run/mail/inbox (opening the mail's link does the same)
#   scripts/run.sh stop     stop the server, the mail relay, the TURN server and the SIP relay
#                           this script started
#
# The server keeps its SQLite store and its log in run/server/ and listens for the chat on
# 127.0.0.1:19991; it also serves the web pages on 127.0.0.1:80 when it may bind that port (as
# root it may). It mails new users their confirmation link through a relay of its own on
# 127.0.0.1:2525, which delivers every mail into the mailbox file run/mail/inbox. Beside it run
# coturn (STUN/TURN on 127.0.0.1:3478) and the SIP relay (Kamailio on 127.0.0.1:5070, call
# addresses 127.0.0.1:20000-20009), configured in run/services/ by scripts/call-services.sh; the
# server hands clients their credentials. All keep running after the clients close.
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
mail_exe=$root/build/release/tools/mailsink/colloqchat-mailsink
mail_host=127.0.0.1
mail_port=2525
mail_dir=$root/run/mail
mailbox=$mail_dir/inbox
mail_pid_file=$mail_dir/colloqchat-mailsink.pid
services_dir=$root/run/services
turn_address=127.0.0.1
relay_block=127.0.0.1:5070/20000-20009

# True when something answers on HOST PORT.
port_open() {
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}
chat_port_open() {
    port_open "$chat_host" "$chat_port"
}

# The process id in PID-FILE, when that process is still the program NAME.
running_pid() {
    local pid_file=$1 name=$2 pid
    [[ -f $pid_file ]] || return 1
    pid=$(<"$pid_file")
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ -r /proc/$pid/cmdline ]] || return 1
    tr '\0' '\n' <"/proc/$pid/cmdline" | head -n 1 | grep -q "$name\$" || return 1
    echo "$pid"
}
# Stops the process in PID-FILE, when it is still the program NAME; true when it did.
stop_pid() {
    local pid
    pid=$(running_pid "$1" "$2") || { rm -f "$1"; return 1; }
    kill "$pid"
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    rm -f "$1"
}

# coturn and the relay, each in its own session like the server, unless they already run.
start_call_services() {
    if running_pid "$services_dir/relay.pid" kamailio >/dev/null; then return; fi
    scripts/call-services.sh "$services_dir" "$turn_address" "$relay_block" each
    echo "run: starting coturn and the SIP relay (configuration and logs in run/services/)"
    setsid turnserver -c "$services_dir/turnserver.conf" </dev/null >>"$services_dir/turnserver.log" 2>&1 &
    echo $! >"$services_dir/turnserver.pid"
    setsid kamailio -DD -E -m 32 -Y "$services_dir" -f "$services_dir/relay.cfg" \
        </dev/null >>"$services_dir/relay.log" 2>&1 &
    echo $! >"$services_dir/relay.pid"
}

stop_call_services() {
    local name program pid
    for name in relay:kamailio turnserver:turnserver; do
        program=${name#*:}
        if pid=$(running_pid "$services_dir/${name%%:*}.pid" "$program"); then kill "$pid"; fi
        rm -f "$services_dir/${name%%:*}.pid"
    done
}

install_and_build() {
    scripts/install-deps.sh
    scripts/build.sh release colloqchat colloqchat-server colloqchat-mailsink
}

# The relay that takes the server's mails and delivers them all into one mailbox file.
start_mail_relay() {
    if port_open "$mail_host" "$mail_port"; then
        echo "run: a mail relay already answers on $mail_host:$mail_port; the server mails through it"
        return
    fi
    mkdir -p "$mail_dir"
    setsid "$mail_exe" --listen "$mail_host:$mail_port" --mailbox "$mailbox" \
        </dev/null >>"$mail_dir/colloqchat-mailsink.log" 2>&1 &
    echo $! >"$mail_pid_file"
    local tries=0
    until port_open "$mail_host" "$mail_port"; do
        ((++tries > 50)) && { echo "run: the mail relay did not start; see $mail_dir/colloqchat-mailsink.log" >&2; exit 1; }
        sleep 0.2
    done
    echo "run: confirmation mails go to run/mail/inbox; open the link in a mail, or run: scripts/run.sh confirm"
}

# Opens every confirmation link in the mailbox; confirming twice does no harm.
confirm_all() {
    if [[ ! -s $mailbox ]]; then
        echo "run: no mail in run/mail/inbox yet: register in the client first" >&2
        exit 1
    fi
    local link found=0
    while read -r link; do
        found=1
        "$server_exe" confirm --code "$link" --data-dir "$server_dir" || true
    done < <(grep -o 'http://[^ ]*/confirm?code=[a-z2-7]*' "$mailbox" | awk '!seen[$0]++')
    ((found)) || echo "run: run/mail/inbox holds no confirmation link" >&2
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
    start_call_services
    setsid "$server_exe" --chat-listen "$chat_host:$chat_port" --data-dir "$server_dir" \
        --mail-relay "$mail_host:$mail_port" \
        --turn-server "$turn_address:3478" --turn-secret-file "$services_dir/turn-secret" \
        --relay "$relay_block" --relay-secret-file "$services_dir/relay-secret" \
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
        start_mail_relay
        start_server
        start_client client-a
        ;;
    second)
        if [[ ! -x $client_exe || ! -x $server_exe || ! -x $mail_exe ]]; then install_and_build; fi
        start_mail_relay
        start_server
        start_client client-b
        ;;
    confirm)
        confirm_all
        ;;
    stop)
        stop_pid "$mail_pid_file" colloqchat-mailsink && echo "run: mail relay stopped"
        if stop_pid "$pid_file" colloqchat-server; then
            stop_call_services
            echo "run: server, TURN server and SIP relay stopped"
        elif chat_port_open; then
            echo "run: a chat server answers on $chat_host:$chat_port, but this script did not start it" >&2
            exit 1
        else
            echo "run: no server is running"
        fi
        ;;
    *)
        echo "usage: $0 [second|confirm|stop]" >&2
        exit 2
        ;;
esac
