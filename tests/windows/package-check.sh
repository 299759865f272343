#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows package as a user gets it: CPack makes the ZIP, which is
# unpacked into a fresh Wine prefix under "C:\Program Files"; nothing of the
# build or of the SDK is on any search path. Then:
#   - the ZIP holds one folder with everything the tool needs, and no test
#     library or test plugin;
#   - Kiverlo.exe, started there as a double click starts it, shows its
#     window, stays up, and ends with code 0 when the window is closed;
#   - a probe copied into the folder builds the same window with the
#     folder's own libraries and plugins and finds the icon from my_app.icns
#     (and none when started elsewhere);
#   - avrdude.exe started from the folder reads its avrdude.conf, knows the
#     programmer and the part the tool asks for, and tries the port;
#   - each Qt library and plugin is of the version the SDK declares, and
#     avrdude.exe of the version the SDK's recipe pins, read from their
#     version records through Windows' version API, and licenses/README.txt
#     names those versions;
#   - avrdude.exe is the recipe's patched build, not the release as it was:
#     its version record cannot tell (both say 7.1), so the check looks for
#     the messages that only the recipe's patches add to it, and
#     licenses/README.txt names the upstream fixes they backport. How the
#     patched build behaves on a port that does not answer is timed by the
#     row "a port nobody serves" of wine.upload_to_board, with the same
#     avrdude.exe.
#
# package-check.sh <build dir> <work dir> <wine64> <wineserver> <windowprobe.exe> <packageprobe.exe>
#                  <versioninfo.exe> <folder of the SDK's patches> avrdude.exe=<version> <file>=<version>...
set -eu

build=$1 work=$2 wine=$3 wineserver=$4 windowprobe=$5 packageprobe=$6 versioninfo=$7 patches=$8
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$@"
shift 8
# <file>=<version> pairs hold no blanks.
case ${1:-} in
avrdude.exe=?*) avrdude_version=${1#*=} ;;
*) echo "FAIL: no avrdude.exe=<version> to check" >&2; exit 1 ;;
esac
shift
qt_versions=$*
[ -n "$qt_versions" ] || { echo "FAIL: no Qt file with its version to check" >&2; exit 1; }
cpack=${CPACK:-cpack}

rm -rf "$work"
mkdir -p "$work"

# --- the ZIP ------------------------------------------------------------------
"$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; echo "FAIL: cpack could not make the ZIP" >&2; exit 1; }
set -- "$work"/cpack/*.zip
[ -f "$1" ] || { echo "FAIL: cpack made no ZIP" >&2; exit 1; }
zip=$1
echo "package: $(basename "$zip"), $(du -k "$zip" | cut -f1) KiB"

# --- a fresh prefix, the package unpacked into it ------------------------------
wine_prefix "$work/prefix"
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM QT_QPA_PLATFORM_PLUGIN_PATH QT_QPA_FONTDIR
trap wine_stop EXIT
wine_boot
unzip -q "$zip" -d "$work/unzipped"
top=$(cd "$work/unzipped" && ls -A)
if [ "$(echo "$top" | wc -l)" -ne 1 ] || [ ! -d "$work/unzipped/$top" ]; then
    echo "FAIL: the ZIP does not hold one folder: $top" >&2
    exit 1
fi
folder="$WINEPREFIX/drive_c/Program Files/$top"
mv "$work/unzipped/$top" "$folder"
windows_folder="C:\\Program Files\\$top"
for file in Kiverlo.exe Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5SerialPort.dll \
    platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qicns.dll imageformats/qico.dll \
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll avrdude.exe avrdude.conf my_app.icns \
    licenses/README.txt licenses/Kiverlo-GPL-3.0.txt licenses/Qt-LGPL-3.0.txt licenses/avrdude-GPL-2.0.txt \
    licenses/GPL-3.0.txt; do
    [ -s "$folder/$file" ] || fail "the package lacks $file"
done
for file in Qt5Test.dll platforms/qoffscreen.dll platforms/qminimal.dll; do
    [ ! -e "$folder/$file" ] || fail "the package holds $file, which only tests need"
done
echo "contents: $(cd "$folder" && find . -type f | wc -l) files, $(du -sk "$folder" | cut -f1) KiB unpacked"

# --- the tool and the probe ------------------------------------------------------
mkdir -p "$WINEPREFIX/drive_c/probe"
cp "$windowprobe" "$WINEPREFIX/drive_c/probe/windowprobe.exe"
if ! wine_exec 'C:\probe\windowprobe.exe' "$windows_folder\\Kiverlo.exe" Kiverlo; then
    fail "Kiverlo.exe from the package did not come up and close cleanly"
fi

cp "$packageprobe" "$folder/kiverlo-packageprobe.exe"
if ! (cd "$folder" && wine_exec "$windows_folder\\kiverlo-packageprobe.exe"); then
    fail "the window built with the package's libraries and plugins is not as it should be"
fi
rm -f "$folder/kiverlo-packageprobe.exe"

# --- the versions of Qt -----------------------------------------------------------
# As Windows reads them, and as the package's own notes tell them.
cp "$versioninfo" "$WINEPREFIX/drive_c/probe/versioninfo.exe"
# shellcheck disable=SC2086
if ! wine_exec 'C:\probe\versioninfo.exe' --versions "$windows_folder" $qt_versions; then
    fail "the package's Qt files are not the versions the SDK declares"
fi
if ! wine_exec 'C:\probe\versioninfo.exe' --versions "$windows_folder" "avrdude.exe=$avrdude_version"; then
    fail "the package's avrdude.exe is not the version the SDK's recipe pins ($avrdude_version)"
fi
# Each version is named, and no other: a stale version left in the notes
# fails as well as a missing one.
notes=$(tr -d '\r' <"$folder/licenses/README.txt" | tr -s ' \n' '  ')
named_qt=$(echo "$notes" | grep -oE 'Qt [0-9]+\.[0-9]+\.[0-9]+' | sort -u | tr '\n' ' ')
named_serial=$(echo "$notes" | grep -oE 'Qt Serial Port [0-9]+\.[0-9]+\.[0-9]+' | sort -u | tr '\n' ' ')
packaged_qt=$(for pair in $qt_versions; do
    case ${pair%%=*} in Qt?SerialPort.dll) ;; *) echo "Qt ${pair#*=}" ;; esac
done | sort -u | tr '\n' ' ')
packaged_serial=$(for pair in $qt_versions; do
    case ${pair%%=*} in Qt?SerialPort.dll) echo "Qt Serial Port ${pair#*=}" ;; esac
done | sort -u | tr '\n' ' ')
[ "$named_qt" = "$packaged_qt" ] \
    || fail "licenses/README.txt names ${named_qt:-no Qt version}, the package holds $packaged_qt"
[ "$named_serial" = "$packaged_serial" ] \
    || fail "licenses/README.txt names ${named_serial:-no Qt Serial Port version}, the package holds $packaged_serial"
echo "licenses/README.txt names $named_qt$named_serial"

# --- the patched avrdude -------------------------------------------------------------
# Each message an avrdude patch of the recipe adds (its added pmsg_error
# lines) is in avrdude.exe; each upstream commit a patch backports (the
# abbreviated commit names in its head) is named in the notes, and so is the
# version.
failures_before=$failures
for patch in "$patches"/avrdude-*.patch; do
    [ -f "$patch" ] || { fail "no avrdude patch in $patches"; break; }
    name=$(basename "$patch")
    marks=$(sed -n 's/^+.*pmsg_error("\([^"\\]*\).*/\1/p' "$patch")
    [ -n "$marks" ] || fail "$name adds no message of its own to look for"
    while IFS= read -r mark; do
        [ -n "$mark" ] || continue
        if grep -qaF "$mark" "$folder/avrdude.exe"; then
            echo "avrdude.exe holds \"$mark\" ($name)"
        else
            fail "avrdude.exe lacks \"$mark\": it was built without $name"
        fi
    done <<MARKS
$marks
MARKS
    commits=$(sed '/^--- /q' "$patch" | grep -oE '\b[0-9a-f]{8,40}\b' | grep '[0-9]' | sort -u)
    [ -n "$commits" ] || fail "$name names no upstream commit it backports"
    for commit in $commits; do
        echo "$notes" | grep -qw "$commit" || fail "licenses/README.txt does not name $commit, which avrdude.exe carries ($name)"
    done
done
echo "$notes" | grep -q "avrdude $avrdude_version[ ,.]" || fail "licenses/README.txt does not name avrdude $avrdude_version"
[ "$failures" -ne "$failures_before" ] \
    || echo "avrdude.exe: $avrdude_version with the recipe's patches; licenses/README.txt names it and the fixes"

# --- the programmer, as the tool starts it ------------------------------------
# No board here: a port that does not exist. avrdude gets that far only with
# its configuration read and the programmer and part found in it.
echo ':00000001FF' >"$WINEPREFIX/drive_c/probe/empty.hex"
set +e
output=$(cd "$folder" && wine_exec "$windows_folder\\avrdude.exe" -c arduino -p m328p \
    -C "$windows_folder\\avrdude.conf" -P COM99 -U 'flash:w:C:\probe\empty.hex:i' 2>&1)
code=$?
set -e
echo "$output" | sed 's/^/avrdude: | /'
[ "$code" -ne 0 ] || fail "avrdude reported success without a board"
echo "$output" | grep -q 'COM99' || fail "avrdude did not try the port COM99"
echo "$output" | grep -qiE "can't open config|config file|invalid programmer|can't find programmer|AVR Part .* not found" \
    && fail "avrdude did not take its configuration from the package"

"$wineserver" -w
trap - EXIT
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the package failed" >&2
    exit 1
fi
echo "the package is complete and runs"
