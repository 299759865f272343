# SPDX-License-Identifier: GPL-3.0-or-later
# The throwaway Wine prefix every Windows check runs in, set up in one place.
# Sourced (POSIX sh) by wine-run.sh and by the checks in tests/windows/; the
# caller sets $wine (wine64) and $wineserver first.
#
#   on_virtual_display "$0" "$@"   runs the calling script again on an X
#                                  display of its own, once
#   wine_prefix <folder>           Wine's environment for that prefix
#   qt_windows_prefix <work dir> <WINEPATH> <Qt plugin folder>
#                                  a fresh work folder with a prefix of its
#                                  own (<work dir>/prefix), for a Qt program
#                                  on Qt's Windows platform
#   wine_boot [NAME=device...]     creates the prefix afresh, with these
#                                  serial ports registered
#   wine_ports NAME=device...      registers serial ports in it
#   wine_exec <program> [arg...]   runs a Windows program and returns its
#                                  own exit status (needs
#                                  $KIVERLO_WINE_EXITRECORD, see below)
#   wine_stop                      ends its server and every program in it
#   windows_path <Linux path>      the same path through Wine's Z: drive
#   fail <message>                 reports a failed check and counts it in
#                                  $failures; the check goes on, and exits
#                                  non-zero at its end when any failed

# Wine's desktop takes the display it first finds, from the creation of the
# prefix on, and the windows under test must never show up on a developer's
# screen: a check that needs a display runs whole on a virtual one, and ends
# with the check's status once that has ended. Xvfb takes a free display
# number and tells it: xvfb-run chooses by the lock files in /tmp, which a
# chroot (the other release's root) does not share with the machine, so its
# choice can be a display the machine already has.
# Returns, without doing anything, in that second run.
on_virtual_display() {
    [ "${KIVERLO_VIRTUAL_DISPLAY:-}" = "$1" ] && return 0
    _display_dir=$(mktemp -d /tmp/kiverlo-display.XXXXXX)
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$_display_dir/display" 2>"$_display_dir/xvfb.log" &
    _display_xvfb=$!
    _display_tries=0
    while [ ! -s "$_display_dir/display" ]; do
        _display_tries=$((_display_tries + 1))
        if [ "$_display_tries" -gt 200 ] || ! kill -0 "$_display_xvfb" 2>/dev/null; then
            cat "$_display_dir/xvfb.log" >&2
            echo "FAIL: Xvfb did not start" >&2
            kill "$_display_xvfb" 2>/dev/null || true
            rm -rf "$_display_dir"
            exit 1
        fi
        sleep 0.1
    done
    _display_status=0
    DISPLAY=":$(head -n 1 "$_display_dir/display")" KIVERLO_VIRTUAL_DISPLAY=$1 sh "$@" || _display_status=$?
    kill "$_display_xvfb" 2>/dev/null || true
    wait "$_display_xvfb" 2>/dev/null || true
    rm -rf "$_display_dir"
    exit "$_display_status"
}

wine_prefix() {
    export WINEPREFIX="$1"
    # Wine never offers to install .NET or Gecko, and stays quiet.
    export WINEDLLOVERRIDES='mscoree,mshtml='
    export WINEDEBUG="${WINEDEBUG:--all}"
    # Debian 13's Wine 10 aborts ("free(): invalid pointer") whenever TMPDIR
    # is set, even to /tmp (as it is in the other release's root).
    unset TMPDIR
    # Wine takes the Windows locale, and with it the ANSI code page that
    # programs such as avrdude.exe write in, from the Linux one. The checks
    # expect code page 1252, which this locale gives, whatever the caller's.
    export LC_ALL=C.UTF-8
}

# A check whose program draws real windows (Qt's Windows platform, not the
# offscreen one) gets a prefix of its own: its display is the prefix's from
# its creation on, and its settings (a scale, say) belong to the whole
# prefix. Qt and its plugins come from the SDK; nothing of the caller's Qt
# set-up (fonts, scaling) is passed on.
qt_windows_prefix() {
    rm -rf "$1"
    mkdir -p "$1"
    wine_prefix "$1/prefix"
    export WINEPATH="$2" QT_PLUGIN_PATH="$3" QT_QPA_PLATFORM=windows
    unset QT_QPA_FONTDIR QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_ENABLE_HIGHDPI_SCALING
}

# The exit status of a Windows program under Wine is that of the Linux
# process behind it, and the Wine server kills that process (SIGKILL, status
# 137) when it has not gone within about a second of the program's end: on a
# loaded machine the shell can see a kill where the program returned 0. So
# each program runs through exitrecord.exe (tests/windows/exitrecord.cpp),
# which records the code the program itself returned; the record is read only
# when the shell saw that kill. A kill that comes before the program has
# ended (out of memory, a time-out) leaves no record and stays a failure.
# A program given as a Linux path is started through the Z: drive.
wine_exec() {
    if [ ! -f "${KIVERLO_WINE_EXITRECORD:-}" ]; then
        echo "FAIL: no exitrecord.exe at '${KIVERLO_WINE_EXITRECORD:-}' (KIVERLO_WINE_EXITRECORD): build the Windows tree first" >&2
        return 125
    fi
    _wine_exec_program=$1
    shift
    case $_wine_exec_program in
    /*) _wine_exec_program=$(windows_path "$_wine_exec_program") ;;
    esac
    _wine_exec_record=$(mktemp /tmp/kiverlo-exit.XXXXXX)
    _wine_exec_status=0
    "$wine" "$KIVERLO_WINE_EXITRECORD" "$(windows_path "$_wine_exec_record")" \
        "$_wine_exec_program" "$@" || _wine_exec_status=$?
    if [ "$_wine_exec_status" -eq 137 ] && [ -s "$_wine_exec_record" ]; then
        _wine_exec_status=$(cat "$_wine_exec_record")
        echo "(Wine killed the process behind $_wine_exec_program after the program had ended with $_wine_exec_status)" >&2
    fi
    rm -f "$_wine_exec_record"
    return "$_wine_exec_status"
}

windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

wine_stop() {
    [ ! -d "$WINEPREFIX" ] || "$wineserver" -k 2>/dev/null || true
}

# Wine reads the ports (and the display scale) when its server starts: each
# change waits for the server to end, saving the registry, so that the next
# program starts a server that sees it.
wine_restart() {
    wine_stop
    "$wineserver" -w
}

wine_ports() {
    for port in "$@"; do
        "$wine" reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /d "${port#*=}" /f >/dev/null 2>&1
    done
    wine_restart
}

wine_boot() {
    wine_stop
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$wine" wineboot -i >/dev/null 2>&1
    wine_ports "$@"
}

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
