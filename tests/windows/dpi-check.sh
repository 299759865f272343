#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The window at 96, 120 and 144 dpi under Wine, drawn by Qt's Windows
# platform (the offscreen one ignores the system's scale) on a virtual
# display: at every scale the window and each widget keep the geometry they
# have at 96 dpi in device-independent pixels, Qt scales by exactly dpi/96,
# and the instruction label's wrapped text fits the height it gets. Wine lacks
# the fonts of a real Windows, so the scales are compared with each other,
# never with fixed pixel counts.
#
# dpi-check.sh <work dir> <wine64> <wineserver> <windpi.exe> <WINEPATH> <Qt plugin folder>
set -eu

work=$1 wine=$2 wineserver=$3 probe=$4
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$@"

# A prefix of this check's own: the scale is a setting of the whole prefix.
qt_windows_prefix "$work" "$5" "$6"
trap wine_stop EXIT
wine_boot
# Wine's own Tahoma, behind the dialog font Qt asks for, may be missing;
# without it a math font with a huge line height stood in. DejaVu Sans, which
# the build needs anyway, takes its place.
for face in 'MS Shell Dlg' 'MS Shell Dlg 2' Tahoma; do
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
        /v "$face" /d 'DejaVu Sans' /f >/dev/null 2>&1
done

for dpi in ${KIVERLO_DPI_ORDER:-96 120 144}; do
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    wine_restart
    # (The program writes Windows line ends.)
    if ! wine_exec "$probe" 2>"$work/$dpi.err" | tr -d '\r' >"$work/$dpi.txt" || ! [ -s "$work/$dpi.txt" ]; then
        cat "$work/$dpi.err" >&2
        fail "the window did not come up at $dpi dpi"
        continue
    fi
    scale=$(sed -n 's/^scale //p' "$work/$dpi.txt")
    expected=$(awk -v d="$dpi" 'BEGIN { printf "%.3f", d / 96 }')
    echo "$dpi dpi: scale $scale, $(grep -c '^geometry' "$work/$dpi.txt") widgets, $(grep '^label' "$work/$dpi.txt")"
    [ "$scale" = "$expected" ] || fail "at $dpi dpi Qt scales by $scale, not $expected"
    set -- $(sed -n 's/^label-needs \([0-9-]*\) label-has \([0-9]*\)$/\1 \2/p' "$work/$dpi.txt")
    if [ $# -ne 2 ] || [ "$1" -gt "$2" ]; then
        fail "at $dpi dpi the label's text needs ${1:-?} pixels of height and has ${2:-?}"
    fi
    grep '^geometry' "$work/$dpi.txt" >"$work/$dpi.geometry"
    [ "$dpi" != 96 ] || continue
    # The window and what the form places by hand keep their geometry to the
    # pixel; the controls the layout sizes after their text may move by a
    # pixel or two, as fonts are hinted differently at each size.
    if ! awk -v dpi="$dpi" '
        function fixed(path) { return path ~ /^(window|centralWidget|centralWidget\/layoutWidget|centralWidget\/txtOutput)$/ }
        function far(a, b, tolerance) { return a - b > tolerance || b - a > tolerance }
        NR == FNR { if (NF == 3) reference[$2] = $3; else reference[$2] = $3 " " $4; next }
        {
            seen[$2] = 1
            if (!($2 in reference)) { print "at " dpi " dpi there is a widget more: " $2; bad = 1; next }
            now = NF == 3 ? $3 : $3 " " $4
            split(reference[$2], r, /[,x ]/); split(now, c, /[,x ]/)
            tolerance = fixed($2) ? 0 : 2
            for (i in r) if (far(r[i] + 0, c[i] + 0, tolerance)) {
                print "at " dpi " dpi " $2 " is " now ", at 96 dpi " reference[$2]; bad = 1; break
            }
        }
        END { for (p in reference) if (!(p in seen)) { print "at " dpi " dpi a widget is missing: " p; bad = 1 }
              exit bad }' "$work/96.geometry" "$work/$dpi.geometry" >&2; then
        fail "at $dpi dpi the window's geometry differs from 96 dpi"
    fi
done

[ "$failures" -eq 0 ] || exit 1
echo "The window keeps its layout at 96, 120 and 144 dpi."
