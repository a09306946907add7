#!/usr/bin/env bash
# Takes a screenshot of the console's main window under a private Xvfb display.
#   kxntadmin/screenshot.sh OUTPUT.png [DELAY_MS [KXNTADMIN OPTIONS...]]
# The program grabs its own window (--screenshot), so no capture tool is needed. Set
# KXFSROOT to choose the install root (recent connections, fsports) the console uses. Further
# options go to the program, e.g. --select "localhost/File Systems" to show a filled list, and
# --command Start to open a dialog over it (the picture then shows the dialog where it stands,
# its title on a caption that the screenshot draws, as Xvfb has no window manager).
set -euo pipefail

out=${1:?usage: kxntadmin/screenshot.sh OUTPUT.png [DELAY_MS]}
delay=${2:-2000}
shift $(($# < 2 ? $# : 2))
repo=$(cd "$(dirname "$0")/.." && pwd)
program=${KXNTADMIN:-$repo/${KX_BUILD_DIR:-build}/kxntadmin/kxntadmin}
[ -x "$program" ] || { echo "screenshot: build kxntadmin first ($program)" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "screenshot: Xvfb is not installed" >&2; exit 1; }

# First display number without a lock file or socket.
display=
for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "screenshot: no free display in :90-:140" >&2; exit 1; }

Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null || true' EXIT

# Wait (at most 10 s) for the server's socket.
for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { echo "screenshot: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "screenshot: Xvfb socket did not appear" >&2; exit 1; }

DISPLAY=":$display" QT_QPA_PLATFORM=xcb timeout 60 "$program" --screenshot "$out" \
    --screenshot-delay "$delay" "$@"
echo "screenshot: $out"
