#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The NSIS installer as a user runs it, in a fresh Wine prefix (the installer
# and its uninstaller are 64-bit programs, run by wine64):
#   - a silent install puts exactly the ZIP's files, and the uninstaller,
#     into "C:\Program Files\Kiverlo", with Start menu entries that start
#     Kiverlo.exe and the uninstaller in that folder, and an Add/Remove
#     Programs entry in the 64-bit view of the registry with the name, the
#     version, the publisher and the uninstaller; nothing in the 32-bit view;
#   - the installed Kiverlo.exe shows its window and closes cleanly; a copy
#     of the installed folder, with the test's fake programmer standing in
#     for avrdude.exe, takes one upload through the window: Upload clicked,
#     the file typed into the dialog, the programmer started with the
#     folder's avrdude.conf, the remembered port and the file;
#   - the same installer again, then a newer one, over the installed one,
#     leave one installation that works, with the newer version listed;
#   - a silent uninstall removes every file, the Start menu entry and the
#     Add/Remove entry, and keeps the user's settings
#     (HKCU\Software\Trunoma\Kiverlo);
#   - over an installation made by the 32-bit installer of earlier builds
#     (packed from its settings, tests/windows/installer-32bit.cmake, and laid
#     out as it installs, since this machine need not run 32-bit programs:
#     the package's files and the uninstaller that installer carries),
#     the installer leaves one installation, listed once, with the settings
#     kept and nothing of the old one left: not its folder, its Start menu
#     entries, nor its records in the 32-bit view; where the 32-bit
#     installer installed by default, in folders of the user's choice, and
#     in a folder of the user's own, whose other files stay.
#
# installer-check.sh <installer.exe> <newer installer.exe> <newer version> <ZIP>
#                    <32-bit installer's Uninstall.exe> <work dir> <wine64> <wineserver>
#                    <windowprobe.exe> <shortcut.exe> <fake programmer.exe>
set -eu

installer=$1 newer=$2 newer_version=$3 zip=$4 uninstaller32=$5 work=$6 wine=$7 wineserver=$8
windowprobe=$9
shift 9
shortcut=$1 fake=$2
. "$(dirname "$0")/wine-prefix.sh"
on_virtual_display "$0" "$installer" "$newer" "$newer_version" "$zip" "$uninstaller32" "$work" "$wine" "$wineserver" \
    "$windowprobe" "$shortcut" "$fake"

rm -rf "$work"
mkdir -p "$work"
wine_prefix "$work/prefix"
trap wine_stop EXIT
wine_boot COM5=/dev/null
drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/Kiverlo"
windows_folder='C:\Program Files\Kiverlo'
programs="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs"
windows_programs='C:\ProgramData\Microsoft\Windows\Start Menu\Programs'
menu="$programs/Kiverlo"
# The installer's machine-wide keys, in the 64-bit view of the registry (the
# one wine64's reg reads), and where a 32-bit installer's went.
uninstall='Microsoft\Windows\CurrentVersion\Uninstall'
uninstall_key="HKLM\\Software\\$uninstall\\Kiverlo Installer"
uninstall_key32="HKLM\\Software\\Wow6432Node\\$uninstall\\Kiverlo Installer"
settings_key='HKCU\Software\Trunoma\Kiverlo'
mkdir -p "$drive/probe"
cp "$windowprobe" "$drive/probe/windowprobe.exe"
cp "$shortcut" "$drive/probe/shortcut.exe"

# reg_value <key> <name>: the value's data, nothing when it is not there.
reg_value() {
    wine_exec reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# The ZIP's folder, unpacked, is what the installation must hold.
unzip -q "$zip" -d "$work/zip"
expected=$(echo "$work"/zip/*)

# is_64bit <program>: a 64-bit Windows program.
is_64bit() {
    file -b "$1" | grep -q '^PE32+ executable .*x86-64'
}
for program in "$installer" "$newer"; do
    is_64bit "$program" || fail "not a 64-bit program: $program: $(file -b "$program")"
done

# run_installer <installer.exe> <what>: a silent install, as "<what>".
run_installer() {
    cp "$1" "$drive/probe/setup.exe"
    wine_exec 'C:\probe\setup.exe' /S || fail "$2: the installer ended with an error"
    rm -f "$drive/probe/setup.exe"
}

# listed: how many times Add/Remove Programs lists Kiverlo, in either view.
listed() {
    for key in "HKLM\\Software\\$uninstall" "HKLM\\Software\\Wow6432Node\\$uninstall"; do
        wine_exec reg query "$key" /s 2>/dev/null | tr -d '\r'
    done | grep -c '^ *DisplayName *REG_SZ *Kiverlo$' || true
}

# check_start_menu <entry> <program> <what>: the Start menu entry starts the
# installed program in the installation folder.
check_start_menu() {
    if wine_exec 'C:\probe\shortcut.exe' "$windows_programs\\Kiverlo\\$1.lnk" 2>&1 \
        | tr -d '\r' >"$work/shortcut.txt" && [ -s "$work/shortcut.txt" ]; then
        sed "s/^/Start menu entry $1: /" "$work/shortcut.txt"
        grep -qxF "target $windows_folder\\$2" "$work/shortcut.txt" \
            || fail "$3: the Start menu entry $1 does not start the installed $2"
        grep -qxF "folder $windows_folder" "$work/shortcut.txt" \
            || fail "$3: the Start menu entry $1 does not work in the installation folder"
    else
        cat "$work/shortcut.txt" >&2
        fail "$3: no Start menu entry $1"
    fi
}

# check_installed <version> <what>: the installation is complete and listed once.
check_installed() {
    [ -f "$folder/Uninstall.exe" ] || fail "$2: no uninstaller in the folder"
    is_64bit "$folder/Uninstall.exe" || fail "$2: the uninstaller is no 64-bit program"
    diff -r -x Uninstall.exe "$expected" "$folder" >"$work/diff.log" 2>&1 \
        || fail "$2: the folder differs from the ZIP's: $(head -n 5 "$work/diff.log")"
    if [ "$(reg_value "$uninstall_key" DisplayName)" != Kiverlo ]; then
        # What reg saw, for the record.
        wine_exec reg query "$uninstall_key" >"$work/reg.log" 2>&1
        echo "reg query $uninstall_key: exit code $?" >>"$work/reg.log"
        sed 's/^/  | /' "$work/reg.log" >&2
        fail "$2: Add/Remove entry without the name Kiverlo"
    fi
    [ "$(reg_value "$uninstall_key" DisplayVersion)" = "$1" ] || fail "$2: Add/Remove entry without the version $1"
    [ "$(reg_value "$uninstall_key" Publisher)" = Trunoma ] || fail "$2: Add/Remove entry without the publisher"
    [ "$(reg_value "$uninstall_key" UninstallString)" = "\"$windows_folder\\Uninstall.exe\"" ] \
        || fail "$2: Add/Remove entry without the uninstaller"
    # The installer's own records stay out of the key the settings use: its
    # uninstaller deletes that key outright, in the hive it installed for.
    ! wine_exec reg query 'HKLM\Software\Trunoma\Kiverlo' >/dev/null 2>&1 \
        || fail "$2: the installer writes to Software\\Trunoma\\Kiverlo, the settings' key"
    wine_exec reg query 'HKLM\Software\Trunoma\Kiverlo Installer' >/dev/null 2>&1 \
        || fail "$2: no installer's key Software\\Trunoma\\Kiverlo Installer"
    entries=$(listed)
    [ "$entries" -eq 1 ] || fail "$2: $entries Add/Remove entries for Kiverlo"
    # Nothing in the 32-bit view of the registry, nor among 32-bit programs.
    ! wine_exec reg query "$uninstall_key32" >/dev/null 2>&1 || fail "$2: an Add/Remove entry in the 32-bit view"
    ! wine_exec reg query 'HKLM\Software\Wow6432Node\Trunoma' >/dev/null 2>&1 \
        || fail "$2: Software\\Trunoma in the 32-bit view"
    [ ! -e "$drive/Program Files (x86)/Kiverlo" ] || fail "$2: a folder Kiverlo in C:\\Program Files (x86)"
    check_start_menu Kiverlo Kiverlo.exe "$2"
    check_start_menu Uninstall Uninstall.exe "$2"
    wine_exec 'C:\probe\windowprobe.exe' "$windows_folder\\Kiverlo.exe" Kiverlo \
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
wine_exec reg add "$settings_key" /v commPort /d '\\.\COM5' /f >/dev/null 2>&1
# The Upload button is at 10,36 (261 x 23) of the window's client area.
if wine_exec 'C:\probe\windowprobe.exe' 'C:\Kiverlo copy\Kiverlo.exe' Kiverlo 140 47 'Select .hex file' \
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
# uninstall <what>: a silent uninstall removes every trace but the settings.
uninstall() {
    wine_exec "$windows_folder\\Uninstall.exe" /S || fail "$1: the uninstaller ended with an error"
    # It goes on in a copy of itself, started from a temporary folder, that
    # removes the folder and the entries: wait until every program has ended.
    "$wineserver" -w
    [ ! -e "$folder" ] || fail "$1: files are left: $(cd "$folder" && find . | head -n 5)"
    [ ! -e "$menu" ] || fail "$1: the Start menu entry is left: $(ls "$menu")"
    ! wine_exec reg query "$uninstall_key" >/dev/null 2>&1 || fail "$1: the Add/Remove entry is left"
    ! wine_exec reg query 'HKLM\Software\Trunoma\Kiverlo Installer' >/dev/null 2>&1 \
        || fail "$1: the installer's own key is left"
    [ "$(reg_value "$settings_key" commPort)" = '\\.\COM5' ] || fail "$1: the user's settings are lost"
}
uninstall "uninstall"

# --- over the 32-bit installer's installation ----------------------------------------
# What the 32-bit installer of earlier builds (the same files, packed with its
# settings) leaves, laid out here, since this machine need not run 32-bit
# programs: the package's files, which it was packed from, and its 32-bit
# uninstaller, as makensis handed it out while packing it (the very file that
# installer writes; see installer-32bit.cmake).
mkdir -p "$work/installer32"
cp -r "$expected/." "$work/installer32"
if ! file -b "$uninstaller32" | grep -qE '^PE32 executable .*(Intel 80386|Intel i386)'; then
    fail "the 32-bit installer's uninstaller is no 32-bit program: $uninstaller32: $(file -b "$uninstaller32")"
fi
cp "$uninstaller32" "$work/installer32/Uninstall.exe"

# lay_out_32bit <folder> <Start menu folder>: an installation by the 32-bit
# installer into these folders (Windows paths), as it makes one for all
# users: the files, two Start menu entries, and in the 32-bit view of the
# registry its Add/Remove entry and its own key, with the values it writes.
lay_out_32bit() {
    unix_folder="$drive/$(printf '%s' "${1#C:\\}" | tr '\\' /)"
    mkdir -p "$unix_folder" "$programs/$(printf '%s' "$2" | tr '\\' /)"
    cp -r "$work/installer32/." "$unix_folder"
    for entry in Kiverlo Uninstall; do
        wine_exec 'C:\probe\shortcut.exe' "$windows_programs\\$2\\$entry.lnk" "$1\\$entry.exe" "$1" \
            || fail "cannot lay out the 32-bit installation's Start menu entry $entry"
    done
    reg_folder=$(printf '%s' "$1" | sed 's/\\/\\\\/g')
    reg_menu=$(printf '%s' "$2" | sed 's/\\/\\\\/g')
    cat >"$drive/probe/installer32.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\$uninstall\\Kiverlo Installer]
"DisplayIcon"="$reg_folder\\\\Kiverlo.exe"
"DisplayName"="Kiverlo"
"DisplayVersion"="0.0.0"
"NoModify"="1"
"NoRepair"="1"
"Publisher"="Trunoma"
"StartMenu"="$reg_menu"
"UninstallString"="\\"$reg_folder\\\\Uninstall.exe\\""

[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Trunoma\\Kiverlo Installer]
@="$reg_folder"
"Start Menu Folder"="$reg_menu"
EOF
    wine_exec reg import 'C:\probe\installer32.reg' >/dev/null 2>&1 || fail "cannot lay out the 32-bit installation's records"
    [ "$(reg_value "$uninstall_key32" DisplayName)" = Kiverlo ] \
        && [ "$(reg_value "$uninstall_key32" UninstallString)" = "\"$1\\Uninstall.exe\"" ] \
        || fail "the 32-bit installation's records are not as laid out"
}

# Where it installs by default: the same folder (it chose the 64-bit Program
# Files too) and the same Start menu folder.
lay_out_32bit "$windows_folder" Kiverlo
run_installer "$installer" "over the 32-bit installation"
check_installed 0.0.0 "over the 32-bit installation"
[ "$(reg_value "$settings_key" commPort)" = '\\.\COM5' ] \
    || fail "over the 32-bit installation: the user's settings are lost"
uninstall "uninstall after the 32-bit installation"

# In folders of the user's choice, which go too: the new installation is
# where the installer puts it by default.
mkdir -p "$drive/Tools"
lay_out_32bit 'C:\Tools\Kiverlo' 'Electronics\Kiverlo'
run_installer "$installer" "over the 32-bit installation in C:\\Tools"
check_installed 0.0.0 "over the 32-bit installation in C:\\Tools"
[ ! -e "$drive/Tools/Kiverlo" ] || fail "the 32-bit installation's folder is left: $(ls "$drive/Tools/Kiverlo")"
[ -d "$drive/Tools" ] || fail "the folder above the 32-bit installation was removed"
[ ! -e "$programs/Electronics" ] || fail "the 32-bit installation's Start menu folder is left"
[ "$(reg_value "$settings_key" commPort)" = '\\.\COM5' ] \
    || fail "over the 32-bit installation in C:\\Tools: the user's settings are lost"

# Straight into a folder of the user's own, with the 64-bit installation
# still there: only what the 32-bit installer put there goes.
echo 'mine' >"$drive/Tools/mine.txt"
lay_out_32bit 'C:\Tools' 'Electronics\Kiverlo'
run_installer "$installer" "over the 32-bit installation in a folder of the user's"
check_installed 0.0.0 "over the 32-bit installation in a folder of the user's"
[ "$(ls -A "$drive/Tools")" = mine.txt ] && [ "$(cat "$drive/Tools/mine.txt")" = mine ] \
    || fail "the user's folder C:\\Tools holds more or less than the user's file: $(ls -A "$drive/Tools")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the installer failed" >&2
    exit 1
fi
echo "the installer installs, upgrades (also over the 32-bit one) and uninstalls cleanly, and the installed tool uploads"
