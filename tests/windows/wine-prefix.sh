# SPDX-License-Identifier: GPL-3.0-or-later
# The throwaway Wine prefix every Windows check runs in, set up in one place.
# Sourced (POSIX sh) by wine-run.sh and by the checks in tests/windows/ and
# tests/wine/; the caller sets $wine (wine64) and $wineserver first.
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
#   wine_stop                      ends its server and every program in it
#   fail <message>                 reports a failed check and counts it in
#                                  $failures; the check goes on, and exits
#                                  non-zero at its end when any failed

# Wine's desktop takes the display it first finds, from the creation of the
# prefix on, and the windows under test must never show up on a developer's
# screen: a check that needs a display runs whole on a virtual one (xvfb-run).
# Returns, without doing anything, in that second run.
on_virtual_display() {
    [ "${KIVERLO_VIRTUAL_DISPLAY:-}" = "$1" ] && return 0
    KIVERLO_VIRTUAL_DISPLAY=$1 exec xvfb-run -a -s '-screen 0 1280x1024x24' sh "$@"
}

wine_prefix() {
    export WINEPREFIX="$1"
    # Wine never offers to install .NET or Gecko, and stays quiet.
    export WINEDLLOVERRIDES='mscoree,mshtml='
    export WINEDEBUG="${WINEDEBUG:--all}"
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
