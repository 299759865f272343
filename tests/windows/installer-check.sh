#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The NSIS installer as a user runs it, in a fresh Wine prefix (the installer
# program is 32-bit and runs under 32-bit Wine):
#   - a silent install puts exactly the ZIP's files, and the uninstaller,
#     into "C:\Program Files\Kiverlo", with a Start menu entry that starts
#     Kiverlo.exe in that folder and an Add/Remove Programs entry with the
#     name, the version, the publisher and the uninstaller;
#   - the installed Kiverlo.exe shows its window and closes cleanly; a copy
#     of the installed folder, with the test's fake programmer standing in
#     for avrdude.exe, takes one upload through the window: Upload clicked,
#     the file typed into the dialog, the programmer started with the
#     folder's avrdude.conf, the remembered port and the file;
#   - the same installer again, then a newer one, over the installed one,
#     leave one installation that works, with the newer version listed;
#   - a silent uninstall removes every file, the Start menu entry and the
#     Add/Remove entry, and keeps the user's settings
#     (HKCU\Software\Trunoma\Kiverlo).
#
# installer-check.sh <installer.exe> <newer installer.exe> <newer version> <ZIP> <work dir>
#                    <wine64> <wine (32-bit)> <wineserver>
#                    <windowprobe.exe> <shortcut.exe> <fake programmer.exe>
set -eu

installer=$1 newer=$2 newer_version=$3 zip=$4 work=$5 wine=$6 wine32=$7 wineserver=$8
windowprobe=$9
shift 9
shortcut=$1 fake=$2
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$installer" "$newer" "$newer_version" "$zip" "$work" "$wine" "$wine32" "$wineserver" \
    "$windowprobe" "$shortcut" "$fake"

rm -rf "$work"
mkdir -p "$work"
wine_prefix "$work/prefix"
trap wine_stop EXIT
wine_boot COM5=/dev/null
drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/Kiverlo"
windows_folder='C:\Program Files\Kiverlo'
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Kiverlo"
# The installer is a 32-bit program: its machine-wide keys are in the 32-bit
# view of the registry, which Windows lists as well.
uninstall_key='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\Kiverlo Installer'
settings_key='HKCU\Software\Trunoma\Kiverlo'
mkdir -p "$drive/probe"
cp "$windowprobe" "$drive/probe/windowprobe.exe"
cp "$shortcut" "$drive/probe/shortcut.exe"

# reg_value <key> <name>: the value's data, nothing when it is not there.
reg_value() {
    "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# The ZIP's folder, unpacked, is what the installation must hold.
unzip -q "$zip" -d "$work/zip"
expected=$(echo "$work"/zip/*)

# run_installer <installer.exe> <what>: a silent install, as "<what>".
run_installer() {
    cp "$1" "$drive/probe/setup.exe"
    "$wine32" 'C:\probe\setup.exe' /S || fail "$2: the installer ended with an error"
    rm -f "$drive/probe/setup.exe"
}

# check_installed <version> <what>: the installation is complete and listed once.
check_installed() {
    [ -f "$folder/Uninstall.exe" ] || fail "$2: no uninstaller in the folder"
    diff -r -x Uninstall.exe "$expected" "$folder" >"$work/diff.log" 2>&1 \
        || fail "$2: the folder differs from the ZIP's: $(head -n 5 "$work/diff.log")"
    [ "$(reg_value "$uninstall_key" DisplayName)" = Kiverlo ] || fail "$2: Add/Remove entry without the name Kiverlo"
    [ "$(reg_value "$uninstall_key" DisplayVersion)" = "$1" ] || fail "$2: Add/Remove entry without the version $1"
    [ "$(reg_value "$uninstall_key" Publisher)" = Trunoma ] || fail "$2: Add/Remove entry without the publisher"
    [ "$(reg_value "$uninstall_key" UninstallString)" = "\"$windows_folder\\Uninstall.exe\"" ] \
        || fail "$2: Add/Remove entry without the uninstaller"
    # The installer's own records stay out of the key the settings use: its
    # uninstaller deletes that key outright, in the hive it installed for.
    ! "$wine" reg query 'HKLM\Software\Wow6432Node\Trunoma\Kiverlo' >/dev/null 2>&1 \
        || fail "$2: the installer writes to Software\\Trunoma\\Kiverlo, the settings' key"
    "$wine" reg query 'HKLM\Software\Wow6432Node\Trunoma\Kiverlo Installer' >/dev/null 2>&1 \
        || fail "$2: no installer's key Software\\Trunoma\\Kiverlo Installer"
    entries=$("$wine" reg query 'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null \
        | tr -d '\r' | grep -c '^ *DisplayName *REG_SZ *Kiverlo$' || true)
    [ "$entries" -eq 1 ] || fail "$2: $entries Add/Remove entries for Kiverlo"
    if "$wine" 'C:\probe\shortcut.exe' 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Kiverlo\Kiverlo.lnk' \
        2>&1 | tr -d '\r' >"$work/shortcut.txt" && [ -s "$work/shortcut.txt" ]; then
        sed 's/^/Start menu entry: /' "$work/shortcut.txt"
        grep -qxF "target $windows_folder\\Kiverlo.exe" "$work/shortcut.txt" \
            || fail "$2: the Start menu entry does not start the installed Kiverlo.exe"
        grep -qxF "folder $windows_folder" "$work/shortcut.txt" \
            || fail "$2: the Start menu entry does not work in the installation folder"
    else
        cat "$work/shortcut.txt" >&2
        fail "$2: no Start menu entry"
    fi
    "$wine" 'C:\probe\windowprobe.exe' "$windows_folder\\Kiverlo.exe" Kiverlo \
        || fail "$2: the installed Kiverlo.exe did not come up and close cleanly"
}

# --- install -------------------------------------------------------------------
run_installer "$installer" "first install"
echo "installed: $(cd "$folder" && find . -type f | wc -l) files"
check_installed 0.0.0 "first install"

# --- an upload through the installed tool -----------------------------------------
# A copy of the installation, with the fake programmer as avrdude.exe: it
# writes the arguments it gets and reports a verified write.
copy="$drive/Kiverlo copy"
cp -r "$folder" "$copy"
cp "$fake" "$copy/avrdude.exe"
hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }
mkdir -p "$drive/upload"
echo ':00000001FF' >"$drive/upload/image.hex"
printf 'record %s\nprint %s\n' "$(hex 'C:\upload')" "$(hex 'avrdude: 0 bytes of flash verified
')" >"$copy/fake-avrdude.script"
# The port a user chose last time.
"$wine" reg add "$settings_key" /v commPort /d '\\.\COM5' /f >/dev/null 2>&1
# The Upload button is at 10,36 (261 x 23) of the window's client area.
if "$wine" 'C:\probe\windowprobe.exe' 'C:\Kiverlo copy\Kiverlo.exe' Kiverlo 140 47 'Select .hex file' \
    'C:\upload\image.hex' 'C:\upload\args'; then
    tr '\0' '\n' <"$drive/upload/args" >"$work/args.txt"
    # The programmer as the tool starts it (the folder, "//avrdude"), with
    # the folder's configuration, the remembered port and the chosen file.
    printf '%s\n' 'C:\Kiverlo copy\\avrdude' -c arduino -p m328p -C 'C:/Kiverlo copy/avrdude.conf' \
        -P '\\.\COM5' -U 'flash:w:C:/upload/image.hex:i' >"$work/args.expected"
    diff "$work/args.expected" "$work/args.txt" >&2 || fail "the programmer got other arguments"
else
    fail "no upload through the installed Kiverlo.exe"
fi
rm -rf "$copy"
[ "$(reg_value "$settings_key" filename)" = 'C:/upload/image.hex' ] \
    || fail "the tool did not remember the file: $(reg_value "$settings_key" filename)"

# --- again, then a newer version -----------------------------------------------------
run_installer "$installer" "same version again"
check_installed 0.0.0 "same version again"
run_installer "$newer" "newer version"
check_installed "$newer_version" "newer version"

# --- uninstall ------------------------------------------------------------------------
"$wine32" "$windows_folder\\Uninstall.exe" /S || fail "the uninstaller ended with an error"
# It goes on in a copy of itself, started from a temporary folder, that
# removes the folder and the entries: wait until every program has ended.
"$wineserver" -w
[ ! -e "$folder" ] || fail "files are left: $(cd "$folder" && find . | head -n 5)"
[ ! -e "$menu" ] || fail "the Start menu entry is left: $(ls "$menu")"
! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the Add/Remove entry is left"
! "$wine" reg query 'HKLM\Software\Wow6432Node\Trunoma\Kiverlo Installer' >/dev/null 2>&1 \
    || fail "the installer's own key is left"
[ "$(reg_value "$settings_key" commPort)" = '\\.\COM5' ] || fail "the uninstaller removed the user's settings"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the installer failed" >&2
    exit 1
fi
echo "the installer installs, upgrades and uninstalls cleanly, and the installed tool uploads"
