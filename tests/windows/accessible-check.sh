#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The window's accessible tree under Wine, as Qt's Windows platform hands it
# to UI Automation (tests/gui/tst_accessibletree.cpp): the offscreen platform
# gives the window no native window and UI Automation nothing, so the test
# runs on the Windows one, whose windows need a display: a virtual one, in a
# prefix of this check's own (the display is the prefix's from its creation
# on).
#
# accessible-check.sh <work dir> <wine64> <wineserver> <tst_accessibletree.exe> <WINEPATH> <Qt plugin folder>
set -eu

work=$1 wine=$2 wineserver=$3 program=$4
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$@"

qt_windows_prefix "$work" "$5" "$6"
export QT_FORCE_STDERR_LOGGING=1
# The test empties its settings' registry key: only in a throwaway prefix.
export KIVERLO_THROWAWAY_PREFIX="$WINEPREFIX"
# Windows programs get the QT_ variables as WINEQT_ ones (see wine-run.sh.in).
for variable in $(env | sed -n 's/^\(QT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    export "WINE$variable=$(printenv "$variable")"
done
trap wine_stop EXIT
wine_boot
wine_exec "$program"
