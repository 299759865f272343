#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Installs the Kiverlo package into a fresh, minimal Debian 12 root and checks
# it there: apt-get must pull every dependency by itself; then the installed
# package test (debian/tests/starts-offscreen) finds avrdude where the program
# looks for it and starts the window offscreen, and the window, put on a
# virtual X display, is seen to carry its icon.
#
# scripts/deb-cleanroot-test.sh [kiverlo_<version>_<arch>.deb]
# scripts/deb-cleanroot-test.sh --build
#
# With --build it checks the other end instead: scripts/deb.sh, run in the
# fresh root, installs every build dependency from debian/control by itself
# and builds a lintian-clean package there (about 8 minutes).
#
# Without an argument it takes the package in build-deb/ (building it with
# scripts/deb.sh when there is none). Needs root (asks sudo) and a Debian
# mirror: the first one for bookworm in this machine's APT sources, or
# $KIVERLO_MIRROR. Everything happens in build-deb/cleanroot.*/, which is
# removed at the end, whatever happens. The downloaded base system is kept in
# build-deb/debootstrap-bookworm-minbase.tgz for the next run, and downloaded
# afresh once it is a week old (scripts/cleanroot-common.sh, shared with
# scripts/other-release-test.sh).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    exec sudo -- "$0" "$@"
fi

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$repo/build-deb"
suite=bookworm
start=$SECONDS

stage() { printf '\n==== %s (%d s so far) ====\n' "$1" $((SECONDS - start)); }

mode=install
if [ "${1:-}" = --build ]; then
    mode=build
    shift
fi
deb=${1:-}
if [ $mode = build ]; then
    deb=
elif [ -z "$deb" ]; then
    deb=$(ls -t "$out"/kiverlo_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        stage "No package in build-deb/ yet: scripts/deb.sh"
        bash "$repo/scripts/deb.sh"
        deb=$(ls -t "$out"/kiverlo_*.deb | head -n 1)
    fi
fi
if [ $mode = install ]; then
    deb=$(readlink -f "$deb")
    [ -f "$deb" ] || {
        echo "No such package: $deb" >&2
        exit 2
    }
fi

[ $mode = build ] || echo "Package: $deb"

# --- a minimal Debian 12, removed at the end whatever happens ----------------------
# shellcheck source=scripts/cleanroot-common.sh
source "$repo/scripts/cleanroot-common.sh"
cleanroot_open "$suite" "$out/debootstrap-$suite-minbase.tgz" "$out"

if [ $mode = build ]; then
    stage "scripts/deb.sh in the fresh root"
    cleanroot_copy_sources "$root/src"
    in_root /bin/bash -c 'cd /src && bash scripts/deb.sh'
    ls -l "$root"/src/build-deb/kiverlo_*.deb
    stage "Passed"
    exit 0
fi

cleanroot_check_package "$deb"

stage "Passed"
