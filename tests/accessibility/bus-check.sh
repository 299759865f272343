#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs bus_check.py in a D-Bus session of its own on a virtual X display,
# where the tool's accessibility bridge talks to the real AT-SPI bus.
#
#   bus-check.sh <Kiverlo executable> <fake programmer> <Qt major version>
#
# Qt 6's bridge joins a bus that is already up, as on a desktop, every time:
# one session must pass. Qt 5.15's bridge registers once and never retries;
# with the bus already up it often fails to ("Error in contacting registry
# ... Not connected to D-Bus server" with QT_LOGGING_RULES=
# qt.accessibility.atspi=true), while a bus that comes up after the tool has
# started was joined every time here. So for Qt 5 the tool starts first and
# the bus only when the check connects, and a fresh session is started, a few
# times at most, until the window is on the bus and its events reach the
# check (sometimes the bridge joins but sends none); then the same checks
# apply.
# Fails, saying which, when a package the check needs is missing.
set -uo pipefail
executable=$1
fake=$2
qt_major=$3

python=/usr/bin/python3
for tool in Xvfb dbus-run-session /usr/libexec/at-spi-bus-launcher "$python"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "FAIL: $tool is missing (packages xvfb dbus at-spi2-core python3-pyatspi)"
        exit 1
    fi
done
if ! "$python" -c 'import pyatspi' 2>/dev/null; then
    echo "FAIL: $python cannot import pyatspi (package python3-pyatspi)"
    exit 1
fi

if [ "$qt_major" -ge 6 ]; then
    attempts=1
    wait_s=20
    order=()
else
    attempts=4
    wait_s=6
    order=(tool-first)
fi
# Runtime files (the accessibility bus's socket among them) go to a folder
# of this check's own, never to the user's.
runtime=$(mktemp -d)
chmod 700 "$runtime"
xvfb=
# shellcheck disable=SC2317 # run by the trap
stop_display() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null
        wait "$xvfb" 2>/dev/null
    fi
    xvfb=
}
trap 'stop_display; rm -rf "$runtime"' EXIT
script="$(dirname "${BASH_SOURCE[0]}")/bus_check.py"
for ((attempt = 1; attempt <= attempts; attempt++)); do
    echo "== session $attempt of $attempts"
    # A display of its own: Xvfb picks a free number itself and writes it
    # out once it takes connections, so checks running side by side never
    # share one.
    rm -f "$runtime/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$runtime/display" 2>"$runtime/xvfb.log" &
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
    DISPLAY=":$(head -n 1 "$runtime/display")" XDG_RUNTIME_DIR=$runtime \
        dbus-run-session -- "$python" "$script" "$executable" "$fake" "$wait_s" "${order[@]}"
    result=$?
    stop_display
    [ "$result" -eq 2 ] || exit "$result"
done
echo "FAIL: the window never appeared on the accessibility bus, or sent it no events, in $attempts sessions"
exit 1
