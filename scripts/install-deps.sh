#!/usr/bin/env bash
# Installs the Debian 12 packages ColloqChat needs to build, run and test. Safe to run again:
# it only calls apt-get when something is missing. Needs root (or sudo).
set -euo pipefail

# coturn (STUN/TURN) and Kamailio with its ephemeral-credentials module (the SIP relay) run
# beside the chat server for calls through routers; iproute2 and nftables build the test lab of
# network namespaces and routers they are tried in.
# dunst and trayer, on a session bus of the test's own (dbus-daemon, dbus-bin), are the desktop
# a call's notification and tray icon are tested on.
# tcpdump and nftables: the call tests record what crosses the wire and drop ZRTP on a path, in a
# network namespace of their own.
# clang with libclang-rt-14-dev (the sanitizer and libFuzzer run-times), clang-tidy, and llvm (its
# llvm-symbolizer names the lines in sanitizer reports) serve the checks CI runs after the tests.
# The sqlite3 program is another process on the server's store in its tests.
packages=(
    build-essential cmake ninja-build ccache pkg-config dpkg-dev clang libclang-rt-14-dev clang-format clang-tidy llvm
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql libgl-dev
    liblinphone-dev linphone-cli libssl-dev libboost-dev libsqlite3-dev sqlite3
    googletest libgtest-dev libgmock-dev
    postgresql nginx-light libnginx-mod-stream
    xvfb xauth imagemagick desktop-file-utils fonts-dejavu-core dbus-daemon dbus-bin dunst trayer
    coturn kamailio kamailio-autheph-modules iproute2 nftables tcpdump
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    echo "install-deps: everything is installed"
    exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" </dev/null

# The packages start their services with Debian's sample settings (Kamailio on every address's
# port 5060), which ColloqChat neither uses nor wants in the way of its own SIP port: they run
# only as scripts/run.sh, the tests or the operator start them.
if [[ " ${missing[*]} " =~ " coturn " || " ${missing[*]} " =~ " kamailio " ]] && [[ -d /run/systemd/system ]]; then
    $sudo systemctl disable --now coturn kamailio >/dev/null 2>&1 || true
fi
