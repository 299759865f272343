#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the README's screenshots: the tool from its build folder, in a real
# window with its title bar, on a virtual display with a window manager.
#   docs/window.png  the window as it opens
#   docs/upload.png  after an upload to the simulated board, console shown
# Usage: scripts/screenshot.sh   (needs a build with tests in build/)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"
install_missing xvfb openbox x11-utils imagemagick xdotool

home="$(mktemp -d)"
display=":$((90 + RANDOM % 100))"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT
export DISPLAY="$display" XDG_CONFIG_HOME="$home" HOME="$home"

Xvfb "$display" -screen 0 480x400x24 -nolisten tcp &
pids+=($!)
sleep 1
openbox &
pids+=($!)
sleep 1

# start_tool: starts the tool and sets $window to its window, placed at 40,30.
start_tool() {
    (cd "$repo/build/app" && exec ./Kiverlo) &
    tool=$!
    pids+=($tool)
    for _ in $(seq 50); do
        xdotool search --onlyvisible --name '^Kiverlo$' >/dev/null 2>&1 && break
        sleep 0.2
    done
    sleep 1
    window="$(xdotool search --onlyvisible --name '^Kiverlo$' | head -1)"
    xdotool windowmove "$window" 40 30
    sleep 0.5
}

# shoot <file>: the screen, trimmed of the plain black root window around
# the framed tool window.
shoot() {
    import -window root "$home/screen.png"
    convert "$home/screen.png" -trim +repage "$1"
    echo "wrote $1"
}

mkdir -p "$repo/docs"
start_tool
shoot "$repo/docs/window.png"
kill "$tool"
wait "$tool" 2>/dev/null || true

board="$repo/build/tests/board/kiverlo_boardsim"
if [ ! -x "$board" ]; then
    echo "No simulated board in build/ for docs/upload.png: run scripts/test.sh first." >&2
    exit 1
fi
"$board" --pty-link "$home/board" --ready-file "$home/ready" --timeout 120 &
pids+=($!)
for _ in $(seq 50); do [ -e "$home/ready" ] && break; sleep 0.2; done
mkdir -p "$home/Trunoma"
printf '[General]\ncommPort=%s\n' "$home/board" > "$home/Trunoma/Kiverlo.conf"
cp "$repo/tests/e2e/fixtures/blink.hex" "$home/blink.hex"

start_tool
# Tick "Show Console", click "Upload...", type the file's path, press Enter.
xdotool mousemove --window "$window" 20 124 click 1
sleep 0.5
xdotool mousemove --window "$window" 140 52 click 1
sleep 1.5
xdotool type --delay 20 "$home/blink.hex"
xdotool key Return
# A full upload of this small program takes a second or two.
sleep 8
shoot "$repo/docs/upload.png"
