#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs bus_check.py in a D-Bus session of its own on a virtual X display,
# where the tool's accessibility bridge talks to the real AT-SPI bus, set up
# as a desktop sets it up before it starts any program: the bus up, its
# switches on, a screen reader listening. Then 20 starts of the tool, each
# of which must show the window on the bus within 10 seconds; no retries.
#
#   bus-check.sh <Kiverlo executable> <fake programmer> <x11|wayland>
#
# x11: the bus launcher writes the bus's address on the X root window
# (AT_SPI_BUS), as on an X11 session. wayland: it writes none, as on a
# Wayland session, where the launcher sees WAYLAND_DISPLAY and the tool
# (through XWayland) learns the address only on the session bus. The X
# server keeps its root window's properties while clients come and go
# (-noreset), as a desktop's server does, which always has clients.
# Fails, saying which, when a package the check needs is missing.
set -uo pipefail
executable=$1
fake=$2
session_kind=$3
starts=20
per_start_s=10

case "$session_kind" in
x11 | wayland) ;;
*)
    echo "FAIL: the session kind must be x11 or wayland, not '$session_kind'"
    exit 1
    ;;
esac
python=/usr/bin/python3
for tool in Xvfb xprop dbus-run-session /usr/libexec/at-spi-bus-launcher "$python"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "FAIL: $tool is missing (packages xvfb x11-utils dbus at-spi2-core python3-pyatspi)"
        exit 1
    fi
done
if ! "$python" -c 'import pyatspi' 2>/dev/null; then
    echo "FAIL: $python cannot import pyatspi (package python3-pyatspi)"
    exit 1
fi

# Runtime files (the accessibility bus's socket among them) go to a folder
# of this check's own, never to the user's.
runtime=$(mktemp -d)
chmod 700 "$runtime"
xvfb=
# shellcheck disable=SC2317 # run by the trap
finish() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null
        wait "$xvfb" 2>/dev/null
    fi
    rm -rf "$runtime"
}
trap finish EXIT

# A display of its own: Xvfb picks a free number itself and writes it out
# once it takes connections, so checks running side by side never share one.
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$runtime/display" 2>"$runtime/xvfb.log" &
xvfb=$!
for ((tick = 0; tick < 200; tick++)); do
    [ -s "$runtime/display" ] && break
    sleep 0.05
done
if [ ! -s "$runtime/display" ]; then
    cat "$runtime/xvfb.log"
    echo "FAIL: Xvfb did not start"
    exit 1
fi

session=(-u WAYLAND_DISPLAY DISPLAY=":$(head -n 1 "$runtime/display")" XDG_RUNTIME_DIR="$runtime"
    # The launcher writes the switches into GSettings as well: into memory
    # here, never into the user's settings.
    GSETTINGS_BACKEND=memory)
if [ "$session_kind" = wayland ]; then
    # Only the launcher (started by the session bus, with its environment)
    # looks at it; bus_check.py starts the tool without it.
    session+=(WAYLAND_DISPLAY=wayland-kiverlo-check)
fi
env "${session[@]}" dbus-run-session -- "$python" "$(dirname "${BASH_SOURCE[0]}")/bus_check.py" \
    "$executable" "$fake" "$session_kind" "$starts" "$per_start_s"
