#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The resources of the built Kiverlo.exe as Windows shows them:
#   - the version record, read through Windows' version API by versioninfo.exe
#     under Wine;
#   - one version record, resource 1 in U.S. English (wrestool);
#   - the application icon: one icon group, IDI_ICON1, with 16, 24, 32, 48 and
#     256-pixel images at 32 bits per pixel, in its directory and in the
#     images themselves, taken out of the executable with icoutils (wrestool,
#     icotool).
#
# exe-resources.sh <Kiverlo.exe> <wine-run.sh> <versioninfo.exe> <work dir>
set -eu
exe=$1 wine_run=$2 versioninfo=$3 work=$4
failures=0

echo "version record:"
if ! sh "$wine_run" "$versioninfo" "$exe" Kiverlo "$(basename "$exe")"; then
    echo "FAIL: the version record is not as it should be" >&2
    failures=$((failures + 1))
fi

# One version record (resource 1, U.S. English), as Windows finds it.
versions=$(wrestool --list --type=16 "$exe")
echo "version resources: $versions"
if [ "$(echo "$versions" | grep -c .)" -ne 1 ] || ! echo "$versions" | grep -q -- "--name=1 --language=1033 "; then
    echo "FAIL: not exactly one version record, resource 1 in U.S. English" >&2
    failures=$((failures + 1))
fi

rm -rf "$work"
mkdir -p "$work"
groups=$(wrestool --list --type=14 "$exe")
echo "icon groups: $groups"
[ "$(echo "$groups" | grep -c .)" -eq 1 ] || { echo "FAIL: not exactly one icon group" >&2; failures=$((failures + 1)); }
echo "$groups" | grep -qE -- "--name='?IDI_ICON1'?( |$)" || { echo "FAIL: the icon group is not IDI_ICON1" >&2; failures=$((failures + 1)); }
wrestool --extract --type=14 --name=IDI_ICON1 --output="$work/group.ico" "$exe"
images=$(icotool --list "$work/group.ico")
echo "$images"
sizes=$(echo "$images" | sed -n 's/.*--width=\([0-9]*\) --height=\([0-9]*\) --bit-depth=\([0-9]*\).*/\1x\2@\3/p' | sort -n | tr '\n' ' ')
expected='16x16@32 24x24@32 32x32@32 48x48@32 256x256@32 '
if [ "$sizes" != "$expected" ]; then
    echo "FAIL: icon images $sizes, expected $expected" >&2
    failures=$((failures + 1))
fi
# The images themselves, not only the group's directory, are of those sizes.
icotool --extract --output="$work" "$work/group.ico"
stored=$(for image in "$work"/*.png; do
    file -b "$image" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\), 8-bit\/color RGBA.*/\1x\2@32/p'
done | sort -n | tr '\n' ' ')
if [ "$stored" != "$expected" ]; then
    echo "FAIL: the icon's stored images are $stored, expected $expected" >&2
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
