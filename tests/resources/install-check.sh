#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Installs a built Kiverlo into temporary prefixes with `cmake --install` and
# checks the result: the executable with avrdude, avrdude.conf and the window
# icon beside it, the command on the PATH, the desktop entry, the metainfo and
# the theme icons. Then starts the installed tool offscreen and runs the
# avrdude beside it. Nothing outside a temporary folder is written.
#
# install-check.sh <build> <source> <programdir> <bindir> <datadir> <app-id> \
#                  <avrdude> <avrdude.conf> [cmake]
set -uo pipefail

if [ $# -lt 8 ]; then
    echo "usage: $0 build source programdir bindir datadir app-id avrdude avrdude.conf [cmake]" >&2
    exit 2
fi
build=$1 source=$2 programdir=$3 bindir=$4 datadir=$5 app_id=$6 avrdude=$7 avrdude_conf=$8
cmake=${9:-cmake}

case "$programdir$bindir$datadir" in
/*)
    # An absolute install folder cannot be moved into a temporary prefix.
    echo "FAIL: the install folders are absolute ($programdir, $bindir, $datadir); this check needs relative ones"
    exit 1
    ;;
esac

for tool in desktop-file-validate appstreamcli timeout; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is missing (packages: desktop-file-utils, appstream, coreutils)"
        exit 1
    fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kiverlo-install.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT

failures=0
ok() { echo "ok:   $*"; }
bad() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
check() { # check <what> <command...>
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}

install_into() { # install_into <prefix> [DESTDIR]
    local log
    log="$tmp/install-$(basename "$1").log"
    if ! DESTDIR="${2:-}" "$cmake" --install "$build" --prefix "$1" >"$log" 2>&1; then
        cat "$log"
        bad "cmake --install --prefix $1 ${2:+with DESTDIR=$2}"
        return 1
    fi
    ok "cmake --install --prefix $1 ${2:+with DESTDIR=$2}"
}

is_link_to() { # is_link_to <link> <target>
    [ -L "$1" ] && [ "$(readlink "$1")" = "$2" ]
}

check_tree() { # check_tree <root> <prefix>: the files under <root>, installed for <prefix>
    local root=$1 prefix=$2
    local pdir="$root/$programdir"
    local exe="$pdir/Kiverlo"
    local desktop="$root/$datadir/applications/$app_id.desktop"
    local metainfo="$root/$datadir/metainfo/$app_id.metainfo.xml"

    check "executable $programdir/Kiverlo" test -x "$exe" -a -f "$exe"
    check "window icon beside it" cmp -s "$source/resources/my_app.icns" "$pdir/my_app.icns"
    if [ -n "$avrdude" ] && [ -n "$avrdude_conf" ]; then
        check "avrdude beside it links to $avrdude" is_link_to "$pdir/avrdude" "$avrdude"
        check "avrdude.conf beside it links to $avrdude_conf" is_link_to "$pdir/avrdude.conf" "$avrdude_conf"
    else
        bad "avrdude and avrdude.conf were not found when the build was configured (install avrdude)"
    fi

    local link="$root/$bindir/kiverlo"
    check "$bindir/kiverlo is a link" test -L "$link"
    case "$(readlink "$link")" in
    /*) bad "$bindir/kiverlo links by an absolute path: $(readlink "$link")" ;;
    *) ok "$bindir/kiverlo links by a relative path: $(readlink "$link")" ;;
    esac
    check "$bindir/kiverlo leads to the executable" test "$(readlink -f "$link")" = "$(readlink -f "$exe")"

    check "desktop entry $app_id.desktop" test -f "$desktop"
    check "desktop entry is valid" desktop-file-validate "$desktop"
    check "desktop entry: Exec=kiverlo" grep -qx 'Exec=kiverlo' "$desktop"
    check "desktop entry: Icon=kiverlo" grep -qx 'Icon=kiverlo' "$desktop"
    check "desktop entry: Path=$prefix/$programdir" grep -qxF "Path=$prefix/$programdir" "$desktop"
    check "desktop entry: Categories" grep -qx 'Categories=Development;Electronics;' "$desktop"
    check "metainfo $app_id.metainfo.xml" test -f "$metainfo"
    # Both files once more, installed, by the same validators as the build's.
    if "$cmake" -DDESKTOP="$desktop" -DMETAINFO="$metainfo" -P "$source/tests/resources/validate-desktop.cmake" \
        >"$tmp/validate.log" 2>&1; then
        ok "metainfo is valid"
    else
        cat "$tmp/validate.log"
        bad "metainfo is valid"
    fi

    local size
    for size in 16 24 32 48 64 128 256; do
        check "theme icon ${size}x${size}" test -s "$root/$datadir/icons/hicolor/${size}x${size}/apps/kiverlo.png"
    done
    check "theme icon scalable" test -s "$root/$datadir/icons/hicolor/scalable/apps/kiverlo.svg"
}

# --- a plain install into a temporary prefix ---------------------------------
prefix="$tmp/prefix"
if install_into "$prefix"; then
    check_tree "$prefix" "$prefix"
    pdir="$prefix/$programdir"

    # The avrdude beside the tool runs, and reads the avrdude.conf beside it.
    if [ -e "$pdir/avrdude" ]; then
        timeout 10 "$pdir/avrdude" -? >"$tmp/avrdude-usage.txt" 2>&1
        rc=$?
        if [ $rc -ne 124 ] && grep -q 'Usage: avrdude' "$tmp/avrdude-usage.txt"; then
            ok "avrdude -? beside the tool prints its usage (exit $rc)"
        else
            cat "$tmp/avrdude-usage.txt"
            bad "avrdude -? beside the tool (exit $rc)"
        fi
        timeout 10 "$pdir/avrdude" -C "$pdir/avrdude.conf" -p '?' >"$tmp/avrdude-parts.txt" 2>&1
        check "avrdude reads avrdude.conf beside it and knows the ATmega328P" \
            grep -qE '^ *m328p +=' "$tmp/avrdude-parts.txt"
    fi

    # Start the installed command as the desktop entry does: in the folder
    # named by Path=, offscreen, with its settings in a temporary home. It
    # counts as started if it is still running when timeout stops it.
    home="$tmp/home"
    mkdir -p "$home/config" "$home/cache" "$home/data" "$home/runtime"
    chmod 700 "$home/runtime"
    (
        cd "$pdir" &&
            exec env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
                XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
                timeout -k 2 3 "$prefix/$bindir/kiverlo"
    ) >"$tmp/kiverlo.log" 2>&1
    rc=$?
    if [ $rc -eq 124 ]; then
        ok "installed kiverlo starts and keeps running (stopped after 3 s)"
    else
        cat "$tmp/kiverlo.log"
        bad "installed kiverlo ended by itself with exit $rc"
    fi
fi

# --- a staged install, as packaging does ---------------------------------------
stage="$tmp/stage"
staged_prefix="$tmp/staged-prefix"
if install_into "$staged_prefix" "$stage"; then
    check_tree "$stage$staged_prefix" "$staged_prefix"
    check "nothing was written outside DESTDIR" test ! -e "$staged_prefix"
fi

if [ $failures -ne 0 ]; then
    echo "install check: $failures check(s) failed"
    exit 1
fi
echo "install check: all checks passed"
