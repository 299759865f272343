#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs bus_check.py in a D-Bus session of its own on a virtual X display,
# where the tool's accessibility bridge talks to the real AT-SPI bus.
#
#   bus-check.sh <Kiverlo executable> <fake programmer> <Qt major version>
#
# Qt 6's bridge joins a bus that is already up, as on a desktop, every time:
# one session must pass. Qt 5.15's bridge registers once and never retries;
# with the bus already up it mostly fails to (its second connection to the
# bus, from the address on the X root window, cuts off the first). So for
# Qt 5 the tool starts first and the bus only when the check connects, and a
# fresh session is started, a few times at most, until the window is on the
# bus; then the same checks apply. Exits 77 (skipped) when the packages the
# check needs are missing.
set -uo pipefail
executable=$1
fake=$2
qt_major=$3

python=/usr/bin/python3
for tool in xvfb-run xauth dbus-run-session /usr/libexec/at-spi-bus-launcher "$python"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is missing (packages xvfb xauth dbus at-spi2-core python3-pyatspi)"
        exit 77
    fi
done
if ! "$python" -c 'import pyatspi' 2>/dev/null; then
    echo "SKIP: $python cannot import pyatspi (package python3-pyatspi)"
    exit 77
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
trap 'rm -rf "$runtime"' EXIT
chmod 700 "$runtime"
script="$(dirname "${BASH_SOURCE[0]}")/bus_check.py"
for ((attempt = 1; attempt <= attempts; attempt++)); do
    echo "== session $attempt of $attempts"
    XDG_RUNTIME_DIR=$runtime xvfb-run -a -s '-screen 0 1024x768x24' \
        dbus-run-session -- "$python" "$script" "$executable" "$fake" "$wait_s" "${order[@]}"
    result=$?
    [ "$result" -eq 2 ] || exit "$result"
done
echo "FAIL: the window never appeared on the accessibility bus in $attempts sessions"
exit 1
