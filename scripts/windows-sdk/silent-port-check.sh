#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A wrong COM port, as a Windows user picks one: two avrdude.exe side by side
# under Wine, each on a COM port whose pseudo-terminal is open but never
# answered, as the tool starts them (-c arduino -p m328p). Both run at once,
# so that a busy machine slows both alike; both must give up ("Failed"), and
# the first must do so in under 70 s and about as soon as the second, with
# as many attempts to get in sync. Prints both times.
#
# silent-port-check.sh <work dir> <the recipe's avrdude.exe> <the SDK's avrdude.exe> <avrdude.conf>
set -euo pipefail

work=$1 tested=$2 reference=$3 conf=$4
limit=70  # seconds: the bound on a wrong port, which a user waits through
slack=10  # seconds by which the two may differ: far less than the 55 s by
          # which a build without the time-out fixes is slower
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || { echo "FAIL: no 64-bit Wine at $wine (Debian: wine64)" >&2; exit 1; }
for f in "$tested" "$reference" "$conf"; do
    [ -f "$f" ] || { echo "FAIL: no $f" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES='mscoree,mshtml=' WINEDEBUG=-all
unset DISPLAY WINEPATH

holder=
cleanup() {
    [ ! -d "$WINEPREFIX" ] || "$wineserver" -k 2>/dev/null || true
    [ -z "$holder" ] || kill "$holder" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Two pseudo-terminals, raw as a serial line is, held open and never read.
python3 - "$work/ports" 2 <<'PY' &
import os, signal, sys, tty, termios
ports, count = sys.argv[1], int(sys.argv[2])
held = []
for _ in range(count):
    master, slave = os.openpty()
    tty.setraw(slave)
    attributes = termios.tcgetattr(slave)
    attributes[4] = attributes[5] = termios.B115200
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    held.append((master, slave))
with open(ports + ".new", "w") as f:
    f.write("".join(os.ttyname(slave) + "\n" for _, slave in held))
os.rename(ports + ".new", ports)
signal.pause()
PY
holder=$!
for _ in $(seq 500); do
    [ -s "$work/ports" ] && break
    sleep 0.02
done
[ -s "$work/ports" ] || { echo "FAIL: no pseudo-terminals" >&2; exit 1; }
mapfile -t ttys <"$work/ports"

# The ports as Wine documents them (HKLM\Software\Wine\Ports), read when its
# server starts.
"$wine" wineboot -i >"$work/wineboot.log" 2>&1
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "${ttys[0]}" /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM6 /d "${ttys[1]}" /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
mkdir -p "$work/files"
echo ':00000001FF' >"$work/files/empty.hex"
mkdir -p "$work/files/recipe" "$work/files/sdk"
cp "$tested" "$work/files/recipe/avrdude.exe"
cp "$reference" "$work/files/sdk/avrdude.exe"
cp "$conf" "$work/files/avrdude.conf"
windows() { printf 'Z:%s' "$1" | tr / '\\'; }

# run <name> <port>: in the background; its output in <name>.log, its time
# and status in <name>.result. A run the programmer never ends is cut at
# 150 s, longer than the old build's 110 s.
run() {
    (
        started=$(date +%s.%N)
        status=0
        timeout -k 5 150 "$wine" "$(windows "$work/files/$1/avrdude.exe")" -c arduino -p m328p \
            -C "$(windows "$work/files/avrdude.conf")" -P "$2" -U "flash:w:$(windows "$work/files/empty.hex"):i" \
            >"$work/$1.log" 2>&1 || status=$?
        awk -v s="$started" -v e="$(date +%s.%N)" -v c="$status" 'BEGIN { printf "%.1f %d\n", e - s, c }' \
            >"$work/$1.result"
    ) &
    runs+=($!)
}
runs=()
run recipe '\\.\COM5'
run sdk '\\.\COM6'
wait "${runs[@]}"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
declare -A seconds attempts whose=([recipe]="the recipe's" [sdk]="the SDK's")
for name in recipe sdk; do
    read -r took status <"$work/$name.result"
    seconds[$name]=$took
    attempts[$name]=$(tr -d '\r' <"$work/$name.log" | grep -c 'attempt [0-9]* of [0-9]*' || true)
    echo "${whose[$name]} avrdude.exe: gave up after $took s (exit status $status, ${attempts[$name]} attempts to get in sync)"
    tr -d '\r' <"$work/$name.log" | grep -v '^$' | tail -n 3 | sed 's/^/  | /'
    # 124: cut at 150 s. Wine's server may kill the process behind a
    # program that has already ended (137, see tests/windows/wine-prefix.sh):
    # then avrdude's closing line is in the log.
    if [ "$status" -eq 124 ] || awk -v t="$took" 'BEGIN { exit !(t >= 150) }'; then
        fail "${whose[$name]} avrdude.exe did not end by itself within 150 s"
    elif [ "$status" -eq 137 ] && ! grep -q 'done\.  Thank you\.' "$work/$name.log"; then
        fail "${whose[$name]} avrdude.exe was killed before it ended"
    fi
    [ "$status" -ne 0 ] || fail "${whose[$name]} avrdude.exe reported success on a port nobody answers"
    [ "${attempts[$name]}" -gt 0 ] || fail "${whose[$name]} avrdude.exe did not try to get in sync with the port"
done
awk -v t="${seconds[recipe]}" -v l="$limit" 'BEGIN { exit !(t < l) }' \
    || fail "the recipe's avrdude.exe took ${seconds[recipe]} s to give up; the limit is $limit s"
awk -v t="${seconds[recipe]}" -v r="${seconds[sdk]}" -v d="$slack" 'BEGIN { x = t - r; exit !(x < d && -x < d) }' \
    || fail "the recipe's avrdude.exe took ${seconds[recipe]} s, the SDK's ${seconds[sdk]} s: $slack s or more apart"
[ "${attempts[recipe]}" = "${attempts[sdk]}" ] \
    || fail "the recipe's avrdude.exe made ${attempts[recipe]} attempts to get in sync, the SDK's ${attempts[sdk]}"
[ "$failures" -eq 0 ] || exit 1
echo "On a silent port the recipe's avrdude.exe gives up as the SDK's does, in under $limit s."
