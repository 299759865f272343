#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the README's screenshot: the tool from its build folder, in a real
# window with its title bar, on a virtual display with a window manager.
# Usage: scripts/screenshot.sh [output.png]   (needs a build in build/)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"
install_missing xvfb openbox x11-utils imagemagick xdotool

out="$(realpath -m "${1:-$repo/docs/window.png}")"
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

Xvfb "$display" -screen 0 480x360x24 -nolisten tcp &
pids+=($!)
sleep 1
DISPLAY="$display" openbox &
pids+=($!)
sleep 1
(cd "$repo/build/app" && DISPLAY="$display" XDG_CONFIG_HOME="$home" HOME="$home" exec ./Kiverlo) &
pids+=($!)

# Wait for the window, then grab the whole screen around it, frame included.
for _ in $(seq 50); do
    DISPLAY="$display" xdotool search --name '^Kiverlo$' >/dev/null 2>&1 && break
    sleep 0.2
done
sleep 1
id="$(DISPLAY="$display" xdotool search --name '^Kiverlo$' | head -1)"
DISPLAY="$display" xdotool windowmove "$id" 40 30
sleep 0.5
mkdir -p "$(dirname "$out")"
DISPLAY="$display" import -window root "$home/screen.png"
# The root window is plain black: trimming it leaves the framed window.
convert "$home/screen.png" -trim +repage "$out"
echo "wrote $out"
