#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Real uploads under Wine: the window (kiverlo_wineupload) with the real
# avrdude.exe beside it writes to the simulated board, which runs here as a
# native program (the same simulator and bootloader as the Linux tests). Its
# pseudo-terminal is registered as COM5 under HKLM\Software\Wine\Ports, the
# way Wine documents it, so the port list shows \\.\COM5 and that exact text
# goes to avrdude's -P. After each row the board's flash is read back and
# compared byte for byte.
#
# Rows: a random 31 KB image and a small real program arrive; a HEX file with
# a bad checksum gives "Failed" and keeps the previous firmware; random images
# from folders named in Cyrillic and in Chinese arrive (the prefix's code page
# is 1252, so avrdude gets their short names); a port nobody serves (a second
# board, stopped) gives "Failed" with the window unlocked, in under 70 s (a
# wrong COM port, the commonest mistake on Windows, must not keep a user
# waiting: avrdude.exe's ten attempts to get in sync wait 5 s each); the
# board killed in the middle of a write, as with a pulled cable, gives
# "Failed" within the window's limit for a programmer without progress, and
# leaves no avrdude.exe behind; a new board on the same COM5 then takes the
# next upload.
#
# e2e-check.sh <work dir> <wine64> <wineserver> <kiverlo_wineupload.exe>
#              <WINEPATH> <Qt plugin folder> <font folder> <boardsim.c> <blink.hex>
#              <bootloader.hex>
# The bootloader is the one the build made from optiboot's sources
# (tests/board/optiboot.cmake); empty when it could not be built.
# KIVERLO_WINE_E2E_REPEAT=N repeats the random 31 KB row N times (default 1).
set -eu

work=$1 wine=$2 wineserver=$3 program=$4 winepath=$5 plugins=$6 fonts=$7 boardsim_c=$8 blink=$9
# Wine's windows need a display, even those of Qt's offscreen platform.
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$@"
optiboot=${10:-}

# --- the board, built for this machine -----------------------------------------
if [ ! -f /usr/include/simavr/sim_avr.h ] || [ ! -f "$optiboot" ] || ! command -v cc >/dev/null; then
    echo "FAIL: the simulated board needs cc, libsimavr-dev, libelf-dev, and gcc-avr, avr-libc and" >&2
    echo "arduino-core-avr for its bootloader" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work"
cc -O2 -std=gnu11 -w -I/usr/include/simavr -DBOARDSIM_DEFAULT_BOOTLOADER="\"$optiboot\"" \
    -o "$work/boardsim" "$boardsim_c" -lsimavr -lelf

board_pids=
# wait_for <test> <file> <what failed>: waits up to 10 s until test -<test>
# <file> holds, or fails the check.
wait_for() {
    tries=0
    while [ ! "-$1" "$2" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] || { echo "FAIL: $3" >&2; exit 1; }
        sleep 0.02
    done
}
# start_board <name> [terminal link]: a board with its files in $work/<name>;
# prints nothing.
start_board() {
    mkdir -p "$work/$1"
    rm -f "$work/$1/ready"
    "$work/boardsim" --ready-file "$work/$1/ready" --flash-out "$work/$1/flash" --timeout 1500 \
        --pty-link "${2:-$work/$1/tty}" &
    board_pids="$board_pids $!"
    eval "pid_$1=$!"
    wait_for s "$work/$1/ready" "board $1 did not start"
}
# read_flash <name> <file>: the board's application flash now, into <file>.
read_flash() {
    rm -f "$work/$1/flash"
    eval "kill -USR1 \$pid_$1"
    wait_for f "$work/$1/flash" "board $1 gave no flash dump"
    cp "$work/$1/flash" "$2"
}

# --- a prefix of this check's own, with the boards as COM ports ----------------------
wine_prefix "$work/prefix"
cleanup() {
    wine_stop
    for pid in $board_pids; do
        kill -CONT "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT
start_board board
start_board silent
# COM5 leads to a link that a later board can take over.
wine_boot COM5="$work/board/tty" COM6="$(cat "$work/silent/ready")"

export WINEPATH=$winepath
export QT_PLUGIN_PATH=$plugins
export QT_QPA_PLATFORM=offscreen
export QT_QPA_FONTDIR=$fonts

# row <title> <program arguments>...: one upload, its output in the log.
row_count=0
row() {
    title=$1
    shift
    row_count=$((row_count + 1))
    log="$work/row$row_count.log"
    started=$(date +%s.%N)
    if wine_exec "$program" "$@" >"$log" 2>&1; then
        status=passed
    else
        status=FAILED
    fi
    seconds=$(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
    echo "$title: $status in $seconds s ($(tr -d '\r' <"$log" | sed -n 's/^verdict: //p'))"
    if [ "$status" = FAILED ]; then
        tr -d '\r' <"$log" | tail -n 25 >&2
        fail "$title"
        return 1
    fi
}
# same_flash <title> <expected> <actual>: the flash starts with <expected>.
same_flash() {
    if ! cmp -n "$(wc -c <"$2")" "$2" "$3" >"$work/cmp.log" 2>&1; then
        fail "$1: the board's flash differs: $(cat "$work/cmp.log")"
    fi
}

port='\\.\COM5'
repeat=${KIVERLO_WINE_E2E_REPEAT:-1}
n=0
while [ "$n" -lt "$repeat" ]; do
    n=$((n + 1))
    if row "random 31 KB image ($n/$repeat)" --port "$port" --expect 'Completed!' --random "$((4710 + n))" \
        --folder ascii --flash-out "$(windows_path "$work/expected.bin")"; then
        read_flash board "$work/flash.bin"
        same_flash "random 31 KB image" "$work/expected.bin" "$work/flash.bin"
    fi
done

if row "small real program" --port "$port" --expect 'Completed!' --hex "$(windows_path "$blink")" \
    --flash-out "$(windows_path "$work/expected.bin")"; then
    read_flash board "$work/flash.bin"
    same_flash "small real program" "$work/expected.bin" "$work/flash.bin"
fi

read_flash board "$work/before.bin"
if row "bad checksum" --port "$port" --expect Failed --bad; then
    read_flash board "$work/flash.bin"
    same_flash "bad checksum keeps the previous firmware" "$work/before.bin" "$work/flash.bin"
fi

seed=98
for folder in cyrillic chinese; do
    seed=$((seed + 1))
    if row "random image from a $folder folder" --port "$port" --expect 'Completed!' --random "$seed" \
        --folder "$folder" --flash-out "$(windows_path "$work/expected.bin")"; then
        read_flash board "$work/flash.bin"
        same_flash "$folder folder" "$work/expected.bin" "$work/flash.bin"
    fi
    # The same image twice would prove nothing the second time.
    ! cmp -s "$work/expected.bin" "$work/before.bin" || fail "the $folder row wrote what the board held"
    cp "$work/expected.bin" "$work/before.bin"
done

eval "kill -STOP \$pid_silent"
# The row prints its time; wineupload fails it when "Failed" takes 70 s or more.
row "a port nobody serves" --port '\\.\COM6' --expect Failed --within 70 --random 5 --folder ascii || true

# The board is killed once the write is under way. avrdude.exe then prints
# the same errors every few seconds without end; the window stops it once
# they have brought no news for 30 seconds, on the test's clock, which
# kiverlo_wineupload moves on between the repeats.
limit=30
rm -f "$work/writing"
# The row runs in the background: its log and count are taken here.
gone_log="$work/row$((row_count + 1)).log"
row "board gone mid-upload" --port "$port" --expect Failed --random 77 --folder ascii \
    --when-writing "$(windows_path "$work/writing")" &
row_pid=$!
row_count=$((row_count + 1))
tries=0
until [ -f "$work/writing" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 3000 ] || { echo "FAIL: the write never began" >&2; exit 1; }
    sleep 0.02
done
kill -KILL "$pid_board"
gone_at=$(date +%s)
if wait "$row_pid"; then
    took=$(($(date +%s) - gone_at))
    echo "  ended $took s after the board was gone"
    [ "$took" -le $((limit + 20)) ] || fail "the stalled run took $took s to end"
    tr -d '\r' <"$gone_log" | grep -q "showed no progress for $limit seconds" || fail "the console does not say why"
else
    fail "board gone mid-upload"
fi
# Only this prefix's programs count: other checks may run avrdude.exe too.
for pid in $(ps -eo pid=,args= | awk '/[a]vrdude\.exe/ { print $1 }'); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
        fail "avrdude.exe is still running (pid $pid)"
    fi
done
# A new board behind the same port takes the next upload.
start_board board2 "$work/board/tty"
pid_board=$pid_board2
if row "new board after the pulled one" --port "$port" --expect 'Completed!' --random 78 --folder ascii \
    --flash-out "$(windows_path "$work/expected.bin")"; then
    read_flash board2 "$work/flash.bin"
    same_flash "new board" "$work/expected.bin" "$work/flash.bin"
fi

[ "$failures" -eq 0 ] || exit 1
echo "Every upload under Wine reached the board as expected."
