#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures the simulated board: the time of a full 31,744-byte upload with
# avrdude (median of RUNS, default 5) and the board's CPU use while idle.
#
#   tests/board/measure.sh BUILD_DIR [RUNS] [SPEED]
#
# BUILD_DIR is a CMake build tree in which kiverlo_boardsim was built; SPEED
# is passed to the board's --speed (default 0: as fast as possible).
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [RUNS] [SPEED]}
runs=${2:-5}
speed=${3:-0}
board=$(find "$build" -type f -name kiverlo_boardsim -perm -u+x | head -n 1)
[ -n "$board" ] || { echo "kiverlo_boardsim not found under $build" >&2; exit 1; }
avrdude=$(command -v avrdude) || { echo "avrdude not installed" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A random image of the whole application area, as Intel HEX.
head -c 31744 /dev/urandom > "$work/image.bin"
od -An -v -tu1 -w16 "$work/image.bin" | awk '
    { n = NF; addr = (NR - 1) * 16
      sum = n + int(addr / 256) + addr % 256
      line = sprintf(":%02X%04X00", n, addr)
      for (i = 1; i <= n; i++) { sum += $i; line = line sprintf("%02X", $i) }
      printf "%s%02X\n", line, (256 - sum % 256) % 256 }
    END { print ":00000001FF" }' > "$work/image.hex"

"$board" --speed "$speed" --timeout 600 --pty-link "$work/tty" \
    --ready-file "$work/ready" --flash-out "$work/flash" &
pid=$!
for _ in $(seq 100); do [ -e "$work/ready" ] && break; sleep 0.1; done
[ -e "$work/ready" ] || { echo "board did not become ready" >&2; exit 1; }

clk=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }

times=()
for i in $(seq "$runs"); do
    start=$(date +%s%N)
    HOME=$work XDG_CONFIG_HOME=$work timeout 120 "$avrdude" -c arduino -p m328p \
        -C /etc/avrdude.conf -P "$work/tty" -U "flash:w:$work/image.hex:i" \
        > "$work/avrdude.log" 2>&1 || { cat "$work/avrdude.log" >&2; exit 1; }
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000000 )))
    echo "upload $i: ${times[-1]} ms"
done
kill -USR1 "$pid"
for _ in $(seq 50); do [ -e "$work/flash" ] && break; sleep 0.1; done
cmp -s "$work/flash" "$work/image.bin" && echo "flash matches the image" \
    || { echo "flash differs from the image" >&2; exit 1; }
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
echo "median upload time: $median ms over $runs runs (speed $speed)"

sleep 1
before=$(cpu_ticks)
sleep 10
after=$(cpu_ticks)
echo "idle CPU: $(( (after - before) * 1000 / clk / 10 )) ms per second (over 10 s)"
