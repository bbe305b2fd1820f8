#!/usr/bin/env bash
# The README's pictures of the call notification and the tray menu. The desktop draws them, so
# they are taken on an X server and a session bus of their own, with Debian's notification daemon
# (dunst, in its built-in look) and tray host (trayer).
# Usage: tools/screenshots/desktop-shots.sh BUILD_TREE OUTPUT_FOLDER
set -euo pipefail
if [[ -z ${COLLOQ_SHOTS_DESKTOP:-} ]]; then
    exec env COLLOQ_SHOTS_DESKTOP=1 dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
shots="$1/tools/screenshots/colloq_screenshots"
dunst -config /nonexistent &
dunst_pid=$!
trayer --edge bottom --align right --widthtype pixel --width 96 --height 28 &
trayer_pid=$!
trap 'kill $dunst_pid $trayer_pid' EXIT
QT_QPA_PLATFORM=xcb "$shots" --desktop "$2"
