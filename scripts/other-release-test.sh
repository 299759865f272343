#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Proves the other Debian release on this machine: on Debian 12 (bookworm)
# a fresh, minimal Debian 13 (trixie) root, on Debian 13 a fresh Debian 12
# root. There:
#   1. on Debian 13 only: the package this machine built (build-deb/, made
#      by scripts/deb.sh when missing) installs with apt-get alone and
#      starts, offscreen and on a virtual X display (as
#      scripts/deb-cleanroot-test.sh checks it), and is purged again;
#   2. a copy of the checkout passes `scripts/test.sh --linux`: it installs
#      what it needs by itself, builds with Qt 5 and runs the Linux tests,
#      the simulated board included;
#   3. scripts/deb.sh builds the package there (Qt 6) with its tests, the
#      check through the accessibility bus among them, and that release's
#      lintian finds nothing;
#   4. on Debian 12 only: the package built there installs and starts in a
#      second fresh root (a package built on Debian 13 cannot install on 12);
#   5. the Windows package (build-win/, made by scripts/windows.sh when
#      missing) read through UI Automation under Debian 13's Wine 10
#      (tests/windows/uia-check.sh): Debian 12's Wine 8 has no UI Automation
#      client. On Debian 12 in the Debian 13 root, after everything above, so
#      that nothing it installs helps the checks before; on Debian 13 on this
#      machine itself;
#   6. the checks of the Windows package and installer with the other
#      release's CMake, MinGW-w64, NSIS and Wine (scripts/windows.sh
#      --package-checks, against the SDK unpacked in build-win/): the tool
#      and the checks' programs built there, the package check under Wine,
#      the ZIP and the installers packed there, the installer under Wine. On
#      Debian 12 in the Debian 13 root after the UI Automation check, on
#      Debian 13 in the Debian 12 root that installed the package, after that.
# Run by scripts/test.sh; never inside such a root itself (scripts/test.sh
# fails there, and the root runs scripts/test.sh --linux).
#
# scripts/other-release-test.sh [--windows-when FILE]
#   --windows-when FILE  the Windows build in build-win/ is taken only when
#       the checks of the Windows package come, once FILE says "built" (while
#       it does not exist, the script waits for it, an hour at most; any
#       other word in it stops the script): scripts/test.sh starts this
#       while it is still building the Windows package. Without it, a
#       missing Windows build is made at once with scripts/windows.sh.
#
# Needs root (asks sudo) and a Debian mirror (see scripts/cleanroot-common.sh).
# The roots live in build-other-release/cleanroot.*/ and are removed at the
# end, whatever happens. Kept between runs in /var/cache/kiverlo-roots/ (or
# $KIVERLO_ROOT_CACHE): the minimal base system as debootstrap downloaded it,
# a week at most, and the packages apt downloaded; the root itself is
# upgraded from the mirror and everything else is installed and built afresh.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    exec sudo -- "$0" "$@"
fi

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
start=$SECONDS
windows_when=
case "${1:-}" in
--windows-when)
    [ -n "${2:-}" ] || {
        echo "usage: $0 [--windows-when FILE]" >&2
        exit 2
    }
    windows_when=$(readlink -f "$2")
    ;;
"") ;;
*)
    echo "usage: $0 [--windows-when FILE]" >&2
    exit 2
    ;;
esac
stage() { printf '\n%s %s (%d s so far) %s\n' "${STAGE_MARK:-====}" "$1" $((SECONDS - start)) "${STAGE_MARK:-====}"; }

if [ -n "${KIVERLO_OTHER_RELEASE_ROOT:-}" ] || [ -e /etc/kiverlo-other-release-root ]; then
    echo "This is the other release's root already: the other release cannot be proved from here." >&2
    exit 1
fi

# shellcheck source=scripts/cleanroot-common.sh
source "$repo/scripts/cleanroot-common.sh"
host=$(host_codename)
case "$host" in
bookworm) suite=trixie ;;
trixie) suite=bookworm ;;
*)
    echo "This machine runs '${host:-an unknown release}', neither Debian 12 (bookworm) nor 13 (trixie):" >&2
    echo "there is no other release to prove from here." >&2
    exit 1
    ;;
esac
echo "This machine: $host. The other release: $suite."

deb=$(ls -t "$repo"/build-deb/kiverlo_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
    stage "No package in build-deb/ yet: scripts/deb.sh"
    bash "$repo/scripts/deb.sh"
    deb=$(ls -t "$repo"/build-deb/kiverlo_*.deb | head -n 1)
fi
echo "Package built here: $deb"

# The Windows package and the fake programmer of the Windows tests, for the
# UI Automation check. Without the Windows SDK there is no Windows build:
# scripts/windows.sh fails and says so, and so does this stage.
windows_build() {
    win_zip=$(ls -t "$repo"/build-win/packages/Kiverlo-*-win64.zip 2>/dev/null | head -n 1 || true)
    win_fake="$repo/build-win/tests/gui/kiverlo_fakeavrdude.exe"
    [ -n "$win_zip" ] && [ -f "$win_fake" ]
}
# windows_ready: the Windows build is there (waiting for it with
# --windows-when, else making it when missing); sets win_zip and win_fake.
windows_ready() {
    if [ -n "$windows_when" ]; then
        wait_until_built "$windows_when" "the Windows package" || exit 1
    elif ! windows_build; then
        stage "No Windows build in build-win/ yet: scripts/windows.sh"
        bash "$repo/scripts/windows.sh"
    fi
    if ! windows_build; then
        echo "No Windows package and fake programmer in build-win/." >&2
        exit 1
    fi
    echo "Windows package built here: $win_zip"
}
[ -n "$windows_when" ] || windows_ready
uia_packages=(wine64 g++-mingw-w64-x86-64-posix xvfb unzip)
# The Windows packages made in the root get the time stamps of the packages
# made here.
windows_epoch=$(git -c safe.directory="$repo" -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)

cache=${KIVERLO_ROOT_CACHE:-/var/cache/kiverlo-roots}
export CLEANROOT_APT_ARCHIVES="$cache/$suite-apt-archives"
# open_root: a fresh root, removed when the (sub)shell that opened it ends.
open_root() {
    cleanroot_open "$suite" "$cache/$suite-minbase.tgz" "$repo/build-other-release"
    # Marks the root, so that scripts/test.sh in it never starts this again.
    echo "A root made by scripts/other-release-test.sh" >"$root/etc/kiverlo-other-release-root"
}
# build_and_test: the Linux tests and the package, in the open root.
build_and_test() {
    stage "scripts/test.sh --linux in $suite"
    cleanroot_copy_sources "$root/src/kiverlo"
    in_root KIVERLO_OTHER_RELEASE_ROOT=1 STAGE_MARK=-- /bin/bash -c 'cd /src/kiverlo && bash scripts/test.sh --linux'

    stage "scripts/deb.sh in $suite (build, tests, lintian)"
    in_root KIVERLO_OTHER_RELEASE_ROOT=1 /bin/bash -c 'cd /src/kiverlo && bash scripts/deb.sh --once'
    # Old versions of packages leave the kept downloads, so that they do not grow.
    in_root apt-get -qq autoclean
}

# uia_check_in_root: the Windows package through UI Automation, in the open
# (Debian 13) root, with what the check needs installed there.
uia_check_in_root() {
    stage "The Windows package through UI Automation under $suite's Wine (tests/windows/uia-check.sh)"
    windows_ready
    in_root apt-get install -y -qq --no-install-recommends "${uia_packages[@]}" >"$work/uia-packages.log" 2>&1 || {
        cat "$work/uia-packages.log"
        exit 1
    }
    mkdir -p "$root/tmp/windows-build"
    cp "$win_zip" "$win_fake" "$root/tmp/windows-build/"
    in_root /bin/sh /src/kiverlo/tests/windows/uia-check.sh /tmp/uia "/tmp/windows-build/$(basename "$win_zip")" \
        "/tmp/windows-build/$(basename "$win_fake")"
}

# windows_checks_in_root: the package and installer checks of the Windows
# build, in the open root, with what that release brings (scripts/windows.sh
# --package-checks installs it there). The tool and the checks' programs are
# built there with its CMake and MinGW-w64, against the SDK unpacked here: a
# build tree belongs to the CMake that made it (cpack runs the tree's build
# step, whose makefiles name that CMake's own files), so the other release
# cannot pack the build made here, and building only what the package holds
# takes a minute or two.
windows_checks_in_root() {
    local started=$SECONDS
    stage "The Windows package and installer with $suite's CMake, MinGW-w64, NSIS and Wine (scripts/windows.sh --package-checks)"
    windows_ready
    cleanroot_copy_sources "$root/src/kiverlo"
    mkdir -p "$root/src/kiverlo/build-win"
    cp -a "$repo/build-win/sdk" "$root/src/kiverlo/build-win/"
    in_root KIVERLO_OTHER_RELEASE_ROOT=1 SOURCE_DATE_EPOCH="$windows_epoch" \
        /bin/bash /src/kiverlo/scripts/windows.sh --package-checks
    echo "The Windows package and installer checks in $suite: $((SECONDS - started)) s"
}

if [ "$suite" = trixie ]; then
    # Debian 13 installs what Debian 12 built: the package made here goes
    # into the fresh root first, then leaves it again before the build.
    (
        open_root
        cleanroot_check_package "$deb"
        in_root apt-get purge -y -qq kiverlo >/dev/null
        build_and_test
        uia_check_in_root
        windows_checks_in_root
    )
    stage "Passed: $suite builds, tests and packages, and runs the package built on $host"
    echo "The Windows package reads through $suite's UI Automation, and passes the package and installer checks there."
else
    # A package built on Debian 13 needs Debian 13's libraries (a newer libc,
    # Qt's libraries renamed for 64-bit time) and cannot install on Debian 12,
    # as no Debian package installs on the release before the one that built
    # it. There the package that Debian 12 builds is installed and started,
    # in a second fresh root.
    echo "The package built here ($(basename "$deb")) is for $host and newer only."
    built="$repo/build-other-release/$suite"
    rm -rf "$built"
    mkdir -p "$built"
    (
        open_root
        build_and_test
        cp "$root"/src/kiverlo/build-deb/kiverlo_*.deb "$built/"
    )
    (
        open_root
        cleanroot_check_package "$(ls "$built"/kiverlo_*.deb)"
        windows_checks_in_root
    )
    stage "Passed: $suite builds, tests and packages, and runs the package it built"
    echo "The Windows package passes the package and installer checks in $suite."
    # Wine 10 is this machine's own.
    stage "The Windows package through UI Automation under $host's Wine (tests/windows/uia-check.sh)"
    windows_ready
    host_apt_get update -qq
    host_apt_get install -y -qq --no-install-recommends "${uia_packages[@]}" >/dev/null
    sh "$repo/tests/windows/uia-check.sh" "$repo/build-other-release/uia" "$win_zip" "$win_fake"
    rm -rf "$repo/build-other-release/uia"
    echo "The Windows package reads through $host's UI Automation."
fi
