# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Changes to this machine's packages, one at a time. Sourced, not run.
#
#   host_apt <command> [argument...]
#       Runs the command (apt-get, dpkg --add-architecture) as root, with
#       sudo when not root, while holding /var/lock/kiverlo-apt.lock.
#       scripts/test.sh runs some stages side by side, and each may install
#       what it needs: apt-get waits for dpkg's lock when told
#       (DPkg::Lock::Timeout), but `apt-get update` fails at once when
#       another apt-get holds the lock of the package lists. Every script of
#       the project that changes this machine's packages goes through here.
#   host_apt_get <apt-get argument>...
#       host_apt apt-get, non-interactive, waiting for dpkg's lock as well
#       (an apt that is not ours may hold it).

host_apt() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" flock --wait 3600 /var/lock/kiverlo-apt.lock "$@"
}

host_apt_get() {
    host_apt env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}
