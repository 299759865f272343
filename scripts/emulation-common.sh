# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Building for, and running programs of, another architecture on this
# machine: scripts/deb.sh --arch (a cross-built package, whose tests run
# emulated) and scripts/arm-test.sh (the package in an emulated root).
# Sourced, not run. Both functions change the machine and need root: they
# use sudo when not root.
#
#   foreign_arch_enable <arch>
#       Adds <arch> (arm64, armhf, ...) to dpkg's architectures when it is
#       not there yet, and reads the package lists again, so that apt can
#       install that architecture's libraries beside this machine's own
#       (Debian multiarch). Every later `apt-get update` on this machine
#       then fetches that architecture's package lists too.
#   emulation_ready <arch>
#       Makes sure that this machine runs programs of <arch> through
#       qemu-user-static: the package installed (qemu 8.0 or newer: on
#       Debian 12 from bookworm-backports, see emulation_install_qemu),
#       binfmt_misc mounted, the interpreter registered. The registration
#       must carry the F flag (the kernel opens the interpreter when it is
#       registered), or programs in a root of that architecture, where no
#       interpreter lies at that path, could not run.
#
# Needs $repo (the checkout) for the mirror of the backports.

# shellcheck source=scripts/host-apt.sh
declare -F host_apt >/dev/null || source "${repo:?}/scripts/host-apt.sh"
emulation_sudo=()
[ "$(id -u)" -eq 0 ] || emulation_sudo=(sudo)

foreign_arch_enable() {
    local arch=$1
    [ "$arch" != "$(dpkg --print-architecture)" ] || return 0
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "Adding the architecture $arch to dpkg (dpkg --add-architecture $arch)."
        host_apt dpkg --add-architecture "$arch"
        host_apt_get update -qq
    fi
}

# The first qemu that runs Qt's QProcess: qemu 8.0 added clone(2)'s
# CLONE_PIDFD, which Qt (5.15 and 6) uses to start every child process once
# the kernel answers its probe (waitid on a pidfd), as qemu passes it on.
# Under Debian 12's qemu 7.2 the probe passes but the clone gives no pidfd,
# and QProcess takes every program it starts for crashed at once: the
# window could not run avrdude, nor the tests their fake programmers.
emulation_qemu_min=1:8.0

# emulation_install_qemu: qemu-user-static, at least $emulation_qemu_min;
# on a release whose own qemu is older (Debian 12), from its backports,
# whose source is added from this machine's mirror when missing.
emulation_install_qemu() {
    local have codename mirror candidate list=/etc/apt/sources.list.d/kiverlo-backports.sources
    have=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
    if [ -n "$have" ] && dpkg --compare-versions "$have" ge "$emulation_qemu_min"; then
        return 0
    fi
    host_apt_get update -qq
    candidate=$(apt-cache policy qemu-user-static | awk '/Candidate:/ { print $2 }')
    if dpkg --compare-versions "${candidate:-0}" ge "$emulation_qemu_min"; then
        host_apt_get install -y -qq --no-install-recommends qemu-user-static
        emulation_qemu_changed=1
        return 0
    fi
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if ! apt-cache madison qemu-user-static | grep -q " $codename-backports/"; then
        declare -F apt_mirror >/dev/null || source "${repo:?}/scripts/cleanroot-common.sh"
        mirror=$(apt_mirror "$codename" | head -n 1)
        if [ -z "$mirror" ]; then
            echo "qemu-user-static $candidate cannot run Qt programs (it needs $emulation_qemu_min), and this" >&2
            echo "machine's APT sources name no mirror for $codename to take $codename-backports from." >&2
            return 1
        fi
        echo "qemu-user-static $candidate is too old (needs $emulation_qemu_min): adding $codename-backports ($list)."
        printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$mirror" "$codename" | "${emulation_sudo[@]}" tee "$list" >/dev/null
        host_apt_get update -qq
    fi
    host_apt_get install -y -qq --no-install-recommends -t "$codename-backports" qemu-user-static
    have=$(dpkg-query -W -f='${Version}' qemu-user-static)
    if ! dpkg --compare-versions "$have" ge "$emulation_qemu_min"; then
        echo "qemu-user-static $have from $codename-backports is still older than $emulation_qemu_min." >&2
        return 1
    fi
    emulation_qemu_changed=1
}

emulation_ready() {
    local arch=$1 cpu conf name entry interpreter binfmt=/proc/sys/fs/binfmt_misc
    [ "$arch" != "$(dpkg --print-architecture)" ] || return 0
    emulation_qemu_changed=
    emulation_install_qemu || return 1
    # qemu names its programs after the processor as GNU names it: aarch64
    # for arm64, arm for armhf and armel.
    cpu=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_CPU 2>/dev/null)
    conf=/usr/lib/binfmt.d/qemu-$cpu.conf
    if [ ! -f "$conf" ]; then
        echo "qemu-user-static has no $conf: it cannot run programs of $arch here." >&2
        return 1
    fi
    if [ ! -f "$binfmt/register" ]; then
        echo "Mounting binfmt_misc on $binfmt."
        "${emulation_sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" || {
            echo "Cannot mount binfmt_misc: programs of $arch cannot run on this machine." >&2
            return 1
        }
    fi
    # The registration's name and interpreter are the second and seventh
    # fields of the line in $conf.
    name=$(cut -d: -f2 "$conf")
    interpreter=$(cut -d: -f7 "$conf")
    entry=$binfmt/$name
    if [ -f "$entry" ] && ! grep -qx "interpreter $interpreter" "$entry"; then
        echo "$entry is registered with another interpreter than qemu-user-static's ($interpreter):" >&2
        grep '^interpreter' "$entry" >&2
        echo "remove it (as root: echo -1 > $entry) to let this script register qemu-user-static's." >&2
        return 1
    fi
    # With the F flag the kernel holds the interpreter it opened when it was
    # registered: after qemu has been installed anew, that may be the old one.
    if [ -f "$entry" ] && [ -n "$emulation_qemu_changed" ]; then
        "${emulation_sudo[@]}" sh -c 'echo -1 >"$1"' sh "$entry"
    fi
    if [ ! -f "$entry" ]; then
        echo "Registering $interpreter for programs of $arch ($conf)."
        "${emulation_sudo[@]}" sh -c 'cat "$1" >"$2/register"' sh "$conf" "$binfmt" || {
            echo "Cannot register qemu for $arch in $binfmt." >&2
            return 1
        }
    fi
    if ! grep -qx enabled "$entry" || ! grep -qx enabled "$binfmt/status"; then
        echo "The registration $entry (or binfmt_misc as a whole) is disabled:" >&2
        echo "enable it with: echo 1 > $entry; echo 1 > $binfmt/status" >&2
        return 1
    fi
    if ! grep -q '^flags: .*F' "$entry"; then
        echo "$entry is registered without the F flag, so programs in a root of $arch cannot" >&2
        echo "find their interpreter. Register qemu-user-static's own ($conf): as root," >&2
        echo "echo -1 > $entry; cat $conf > $binfmt/register" >&2
        return 1
    fi
    echo "Programs of $arch run through $(qemu-"$cpu"-static --version | head -n 1)."
}
