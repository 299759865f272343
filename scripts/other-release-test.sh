#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Proves the other Debian release on this machine: on Debian 12 (bookworm)
# a fresh, minimal Debian 13 (trixie) root, on Debian 13 a fresh Debian 12
# root. There:
#   1. the package this machine built (build-deb/, made by scripts/deb.sh
#      when missing) installs with apt-get alone and starts, offscreen and
#      on a virtual X display (as scripts/deb-cleanroot-test.sh checks it);
#   2. after it is purged, a copy of the checkout passes
#      `scripts/test.sh --linux`: it installs what it needs by itself, builds
#      with Qt 5 and runs the Linux tests, the simulated board included;
#   3. scripts/deb.sh builds the package there and that release's lintian
#      finds nothing.
# Run by scripts/test.sh; never inside such a root itself (scripts/test.sh
# skips it there).
#
# Needs root (asks sudo) and a Debian mirror (see scripts/cleanroot-common.sh).
# The root lives in build-other-release/cleanroot.*/ and is removed at the
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
stage() { printf '\n%s %s (%d s so far) %s\n' "${STAGE_MARK:-====}" "$1" $((SECONDS - start)) "${STAGE_MARK:-====}"; }

if [ -n "${KIVERLO_OTHER_RELEASE_ROOT:-}" ] || [ -e /etc/kiverlo-other-release-root ]; then
    echo "This is the other release's root already: nothing to prove here."
    exit 0
fi

# shellcheck source=scripts/cleanroot-common.sh
source "$repo/scripts/cleanroot-common.sh"
host=$(host_codename)
case "$host" in
bookworm) suite=trixie ;;
trixie) suite=bookworm ;;
*)
    echo "This machine runs '${host:-an unknown release}', neither Debian 12 (bookworm) nor 13 (trixie):"
    echo "no other release to prove."
    exit 0
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

cache=${KIVERLO_ROOT_CACHE:-/var/cache/kiverlo-roots}
export CLEANROOT_APT_ARCHIVES="$cache/$suite-apt-archives"
cleanroot_open "$suite" "$cache/$suite-minbase.tgz" "$repo/build-other-release"
# Marks the root, so that scripts/test.sh in it never starts this again.
echo "A root made by scripts/other-release-test.sh" >"$root/etc/kiverlo-other-release-root"

cleanroot_check_package "$deb"
in_root apt-get purge -y -qq kiverlo >/dev/null

stage "scripts/test.sh --linux in $suite"
cleanroot_copy_sources "$root/src/kiverlo"
in_root KIVERLO_OTHER_RELEASE_ROOT=1 STAGE_MARK=-- /bin/bash -c 'cd /src/kiverlo && bash scripts/test.sh --linux'

stage "scripts/deb.sh in $suite (build, tests, lintian)"
in_root KIVERLO_OTHER_RELEASE_ROOT=1 /bin/bash -c 'cd /src/kiverlo && bash scripts/deb.sh'

# Old versions of packages leave the kept downloads, so that they do not grow.
in_root apt-get -qq autoclean

stage "Passed: $suite builds, tests, packages and runs the package built on $host"
