#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows package read through UI Automation from another process, as a
# screen reader reads it: uiaclient.cpp, built here with MinGW-w64, runs
# beside Kiverlo.exe (unpacked from the ZIP, with the fake programmer as its
# avrdude.exe) under Wine, in a prefix of its own on a virtual display.
#
# uia-check.sh <work dir> <Kiverlo ZIP> <fake programmer .exe>
#
# Needs Wine 10 or later (Debian 13's): Wine 8 has no UI Automation client
# (CoCreateInstance(CLSID_CUIAutomation) fails with 0x80040154); and
# MinGW-w64 headers that declare IUIAutomation (12 or later). Run by
# scripts/other-release-test.sh where Debian 13 is. Exits non-zero when a
# check fails or what it needs is missing.
set -eu

work=$1 zip=$2 fake=$3
here=$(cd "$(dirname "$0")" && pwd)
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
. "$here/wine-prefix.sh"

for tool in "$wine" "$wineserver" Xvfb unzip x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null 2>&1 || { echo "FAIL: $tool is missing (wine64, xvfb, unzip, g++-mingw-w64-x86-64-posix)"; exit 1; }
done
version=$("$wine" --version)
echo "$version"
case "$version" in
wine-[0-9].*)
    echo "FAIL: $version has no UI Automation client; the check needs Wine 10 or later"
    exit 1
    ;;
esac
# Debian 13's Wine 10 aborts ("free(): invalid pointer") whenever TMPDIR is
# set, even to /tmp.
unset TMPDIR

rm -rf "$work"
mkdir -p "$work"
if ! x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -municode -static \
    -o "$work/uiaclient.exe" "$here/uiaclient.cpp" -lole32 -loleaut32 -luuid 2>"$work/build.log"; then
    cat "$work/build.log"
    echo "FAIL: the client does not build (do these MinGW-w64 headers declare IUIAutomation?)"
    exit 1
fi
# The client runs through exitrecord (see wine_exec in wine-prefix.sh).
if ! x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -municode -static \
    -o "$work/exitrecord.exe" "$here/exitrecord.cpp" 2>"$work/build.log"; then
    cat "$work/build.log"
    echo "FAIL: exitrecord.exe does not build"
    exit 1
fi
export KIVERLO_WINE_EXITRECORD="$work/exitrecord.exe"

# The package as a user unpacks it, the fake programmer as its avrdude.exe:
# it reports a verified write.
unzip -q "$zip" -d "$work/unpacked"
app=$(find "$work/unpacked" -name Kiverlo.exe | head -n 1)
[ -n "$app" ] || { echo "FAIL: no Kiverlo.exe in $zip"; exit 1; }
cp "$fake" "$(dirname "$app")/avrdude.exe"
printf 'print %s\n' "$(printf 'avrdude: 12 bytes of flash verified\n' | od -An -tx1 | tr -d ' \n')" \
    >"$(dirname "$app")/fake-avrdude.script"
printf ':00000001FF\n' >"$work/blink.hex"

# A display of its own: Xvfb takes a free number and tells it (in a chroot,
# xvfb-run's choice can clash with a server outside it).
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
wine_prefix "$work/prefix"
trap 'wine_stop; kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null' EXIT
tries=0
while [ ! -s "$work/display" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { cat "$work/xvfb.log"; echo "FAIL: Xvfb did not start"; exit 1; }
    sleep 0.1
done
display=$(head -n 1 "$work/display")
export DISPLAY=":$display"
wine_boot COM5=/dev/null
# The port the upload uses: the one remembered.
"$wine" reg add 'HKCU\Software\Trunoma\Kiverlo' /v commPort /d COM5 /f >/dev/null 2>&1

result=0
wine_exec "$work/uiaclient.exe" "$("$wine" winepath -w "$app" 2>/dev/null)" \
    "$("$wine" winepath -w "$work/blink.hex" 2>/dev/null)" "Completed!" >"$work/client.log" 2>&1 || result=$?
tr -d '\r' <"$work/client.log"
[ "$result" -eq 0 ] || echo "FAIL: the UI Automation client ended with code $result"
exit "$result"
