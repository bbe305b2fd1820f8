#!/usr/bin/env bash
# Installs a build tree into temporary folders and checks what lands where:
#  - each component alone holds exactly its own files (what each .deb will hold), and a plain
#    install holds nothing besides them;
#  - the desktop entry validates and names an installed program and icon; the bitmap icons have
#    their sizes;
#  - the server's unit names the installed server, for `--prefix` and for DESTDIR with /usr, and
#    keeps the server in a tight sandbox;
#  - the installed server starts with every setting of the sample file in force, and keeps its
#    store where the unit's environment sends it.
# Usage: check-install.sh BUILD_DIR "48;128;256" (the icon sizes rendered, empty for none)
set -uo pipefail

build=${1:?usage: check-install.sh BUILD_DIR [ICON_SIZES]}
IFS=';' read -r -a sizes <<<"${2:-}"
tmp=$(mktemp -d)
server_pid=""
cleanup() {
    if [[ -n $server_pid ]]; then kill -KILL "$server_pid" 2>/dev/null; fi
    rm -rf "$tmp"
}
trap cleanup EXIT

passed=0
failed=0
check() { # check "what" command...
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what" >&2
    fi
}

install_into() { # install_into PREFIX [COMPONENT]
    local log=$tmp/install.log
    if ! cmake --install "$build" --prefix "$1" ${2:+--component "$2"} >"$log" 2>&1; then
        cat "$log" >&2
        return 1
    fi
}

listing() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }

same_list() { # same_list EXPECTED_FILE ACTUAL_FILE
    diff -u "$1" "$2" >&2
}

# The client's call engine module goes into the library folder the build was configured with.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
engine=${libdir:-lib}/colloqchat/colloqchat-engine.so

# --- what each component holds -----------------------------------------------------------------
{
    echo bin/colloqchat
    echo "$engine"
    echo share/applications/colloqchat.desktop
    echo share/doc/colloqchat-client/copyright
    for size in "${sizes[@]}"; do echo "share/icons/hicolor/${size}x${size}/apps/colloqchat.png"; done
    echo share/icons/hicolor/scalable/apps/colloqchat.svg
} | LC_ALL=C sort >"$tmp/expected-client"
LC_ALL=C sort >"$tmp/expected-server" <<'EOF'
bin/colloqchat-server
lib/systemd/system/colloqchat-server.service
share/doc/colloqchat-server/colloqchat-server.conf
share/doc/colloqchat-server/copyright
EOF
LC_ALL=C sort -m "$tmp/expected-client" "$tmp/expected-server" >"$tmp/expected-all"

for part in client server; do
    check "install the $part component" install_into "$tmp/$part" "$part"
    listing "$tmp/$part" >"$tmp/actual-$part"
    check "the $part component holds its files and no others" same_list "$tmp/expected-$part" "$tmp/actual-$part"
done
all=$tmp/all
check "install everything under a prefix" install_into "$all"
listing "$all" >"$tmp/actual-all"
check "a plain install holds the two components and nothing else" same_list "$tmp/expected-all" "$tmp/actual-all"

check "the client is executable" test -x "$all/bin/colloqchat"
check "the server is executable" test -x "$all/bin/colloqchat-server"
# The client finds its engine beside it (bin/../LIBDIR/colloqchat) and the engine its libraries.
check "the engine module's libraries are all found" bash -c '! ldd "$0" | grep -q "not found"' "$all/$engine"

# --- desktop entry and icons --------------------------------------------------------------------
desktop=$all/share/applications/colloqchat.desktop
if command -v desktop-file-validate >/dev/null; then
    check "the desktop entry validates" desktop-file-validate "$desktop"
else
    echo "note: desktop-file-validate not installed, the desktop entry is not validated"
fi
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
check "the desktop entry starts the installed client (Exec=$exec_name)" test -x "$all/bin/$exec_name"
check "the desktop entry's icon is installed (Icon=$icon_name)" \
    test -f "$all/share/icons/hicolor/scalable/apps/$icon_name.svg"

png_size() { # width x height from the PNG header
    local bytes
    read -r -a bytes < <(od -An -tu1 -j16 -N8 "$1")
    echo "$(((bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3]))x$(((bytes[4] << 24) | (bytes[5] << 16) | (bytes[6] << 8) | bytes[7]))"
}
is_png_of_size() { # is_png_of_size FILE SIZE
    [[ $(head -c 8 "$1" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] && [[ $(png_size "$1") == "$2x$2" ]]
}
for size in "${sizes[@]}"; do
    check "the ${size}px icon is a ${size}x${size} PNG" \
        is_png_of_size "$all/share/icons/hicolor/${size}x${size}/apps/colloqchat.png" "$size"
done

# --- systemd unit --------------------------------------------------------------------------------
unit=$all/lib/systemd/system/colloqchat-server.service
check "the unit runs the server installed under the prefix" \
    grep -q "exec $all/bin/colloqchat-server --config /etc/colloqchat-server.conf;" "$unit"
check "the unit has no placeholder left" bash -c '! grep -qE "@[A-Z_]+@" "$0"' "$unit"
# systemd only warns about a key it does not know: any word from it counts as a failure.
verify_unit() {
    local said
    said=$(systemd-analyze verify --man=no "$1" 2>&1) && [[ -z $said ]] || { echo "$said" >&2; return 1; }
}
if command -v systemd-analyze >/dev/null; then
    check "systemd accepts the unit without a remark" verify_unit "$unit"
    # The score systemd gives the sandbox, in tenths: 20 stands for an exposure of 2.0.
    check "systemd rates the unit's exposure 2.0 or less" \
        systemd-analyze security --offline=yes --threshold=20 --no-pager "$unit" >/dev/null
fi
# As the package installs it: DESTDIR staging with prefix /usr.
if DESTDIR=$tmp/staging cmake --install "$build" --prefix /usr --component server >"$tmp/install.log" 2>&1; then
    check "under DESTDIR the unit runs /usr/bin/colloqchat-server" grep -q "exec /usr/bin/colloqchat-server --config" \
        "$tmp/staging/usr/lib/systemd/system/colloqchat-server.service"
else
    cat "$tmp/install.log" >&2
    check "install the server under DESTDIR" false
fi

# --- the installed server starts with the sample settings ---------------------------------------
# Every sample setting is taken out of its comment, except the PostgreSQL store; the addresses
# are then moved to loopback on the command line, which wins over the file.
sed -e '/^# store *=/d' -e 's/^# \([a-z-]* *=\)/\1/' "$all/share/doc/colloqchat-server/colloqchat-server.conf" \
    >"$tmp/server.conf"
check "the sample file has settings to try" grep -q '^chat-listen' "$tmp/server.conf"
mkfifo "$tmp/server.out"
XDG_DATA_HOME=$tmp/state HOME=$tmp/home "$all/bin/colloqchat-server" --config "$tmp/server.conf" \
    --chat-listen 127.0.0.1:0 --web-listen off >"$tmp/server.out" 2>"$tmp/server.err" &
server_pid=$!
ready=""
exec 3<"$tmp/server.out"
while read -r -t 120 line <&3; do
    if [[ $line == ready\ * ]]; then
        ready=$line
        break
    fi
done
check "the installed server says it is ready (${ready:-nothing})" test -n "$ready"
if [[ -n $ready ]]; then
    kill -TERM "$server_pid"
    wait "$server_pid"
    status=$?
    server_pid=""
    check "the installed server stops cleanly on SIGTERM (exit $status)" test "$status" -eq 0
    check "its store lies in the data folder the unit points at" \
        test -s "$tmp/state/colloqchat-server/colloqchat.sqlite"
else
    cat "$tmp/server.err" >&2
fi
exec 3<&-

echo "install checks: $passed passed, $failed failed"
((failed == 0))
