# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# A fresh, minimal Debian root for checks that need a system with nothing
# else installed: scripts/deb-cleanroot-test.sh (the package in a clean
# Debian 12) and scripts/other-release-test.sh (the other Debian release).
# Sourced, not run; needs root, and $repo set to the checkout.
#
#   cleanroot_open <suite> <base tarball> <parent folder> [<architecture>]
#       Unpacks a minimal <suite> into <parent folder>/cleanroot.*/root (sets
#       $root and $work) and brings it up to date. Everything below $work is
#       unmounted and removed when the script exits, whatever happens. With an
#       architecture other than this machine's (arm64, armhf), the root is of
#       that architecture and every program in it runs through qemu, which
#       must be ready (scripts/emulation-common.sh, emulation_ready).
#   in_root <command...>
#       Runs a command in the root with a clean environment.
#   cleanroot_copy_sources <folder>
#       Copies the checkout as scripts/deb.sh copies it: what git knows of.
#   cleanroot_check_package <kiverlo .deb> [offscreen-only]
#       Installs the package there with apt-get alone and starts it:
#       offscreen (debian/tests/starts-offscreen), then on a virtual X
#       display, where the window's icon is read back; with offscreen-only
#       not on the display (an emulated root, where installing the X server
#       costs minutes and the icon's plugin was seen loaded offscreen).
#
# The base tarball holds the packages of a minimal system as debootstrap
# downloaded them. It is made when missing and made again when older than
# CLEANROOT_BASE_DAYS days (default 7). It only saves downloads: the root is
# upgraded from the mirror right after it is unpacked, so an old tarball never
# stands in for what the mirror has now. CLEANROOT_APT_ARCHIVES, when set,
# is a folder kept between runs for the packages apt downloads in the root;
# apt checks each one against the mirror's index before using it.
#
# The mirror: $KIVERLO_MIRROR, else the first one in this machine's APT
# sources that serves <suite>, else the one serving this machine's own
# release. With none of these the script stops and says how to name one.

cleanroot_start=$SECONDS

# wait_until_built <file> <what>: waits until <file> exists (an hour at
# most) and fails unless its first line says "built": how scripts/test.sh
# tells a stage running beside the others that <what> is ready.
wait_until_built() {
    local file=$1 what=$2 waited=$SECONDS word
    while [ ! -s "$file" ]; do
        if ((SECONDS - waited > 3600)); then
            echo "Not built after an hour: $what ($file never appeared)." >&2
            return 1
        fi
        sleep 2
    done
    word=$(head -n 1 "$file")
    if [ "$word" != built ]; then
        echo "Not built: $what ($file says '$word')." >&2
        return 1
    fi
    echo "Ready: $what (after waiting $((SECONDS - waited)) s)."
}
# shellcheck source=scripts/host-apt.sh
declare -F host_apt >/dev/null || source "${repo:?}/scripts/host-apt.sh"

# apt_mirror <suite>: the first mirror that serves <suite> in this machine's
# APT sources, one-line (sources.list) or deb822 (*.sources) style.
apt_mirror() {
    local suite=$1 f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" '$1 == "deb" {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if ($(i + 1) == suite) { print $i; exit }
        }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" 'BEGIN { RS = "" } {
            uri = ""; ok = 0; deb = 0; off = 0
            n = split($0, lines, "\n")
            for (l = 1; l <= n; l++) {
                split(lines[l], w, /[ \t]+/)
                if (w[1] == "Types:") for (k in w) if (w[k] == "deb") deb = 1
                if (w[1] == "URIs:" && uri == "") uri = w[2]
                if (w[1] == "Suites:") for (k in w) if (w[k] == suite) ok = 1
                if (w[1] == "Enabled:" && w[2] == "no") off = 1
            }
            if (deb && ok && !off && uri != "") { print uri; exit }
        }' "$f"
    done
}

# host_codename: this machine's release (bookworm, trixie, ...).
host_codename() {
    (. /etc/os-release && echo "${VERSION_CODENAME:-}")
}

cleanroot_mirror() {
    local suite=$1 mirror=${KIVERLO_MIRROR:-}
    [ -n "$mirror" ] || mirror=$(apt_mirror "$suite" | head -n 1)
    [ -n "$mirror" ] || mirror=$(apt_mirror "$(host_codename)" | head -n 1)
    if [ -z "$mirror" ]; then
        echo "No Debian mirror for $suite: this machine's APT sources (/etc/apt/sources.list," >&2
        echo "/etc/apt/sources.list.d/) name none for $suite or for $(host_codename)." >&2
        echo "Set KIVERLO_MIRROR to a Debian mirror's URL (the one you install packages from)." >&2
        return 1
    fi
    echo "$mirror"
}

cleanroot_cleanup() {
    local rc=$? p pid m
    set +e
    if [ -n "${root:-}" ]; then
        # Processes still running inside the root (a check cut short) end
        # first, each by its pid, so that nothing holds the mounts.
        for p in /proc/[0-9]*; do
            pid=${p#/proc/}
            [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "$pid" 2>/dev/null
        done
        sleep 0.2
        # Unmount everything below the root, deepest first.
        for m in $(awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r); do
            umount "$m" || umount -l "$m"
        done
        if awk -v r="$root" '$2 == r || index($2, r "/") == 1 { found = 1 } END { exit !found }' /proc/mounts; then
            echo "Still mounted below $root: not removing it" >&2
        else
            rm -rf --one-file-system "$work"
        fi
    fi
    echo "Clean root: $((SECONDS - cleanroot_start)) s in all"
    exit $rc
}

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive TMPDIR=/tmp "$@"
}

cleanroot_open() {
    local suite=$1 tarball=$2 parent=$3 arch=${4:-} mirror days=${CLEANROOT_BASE_DAYS:-7} arch_opt=()
    [ -z "$arch" ] || arch_opt=(--arch="$arch")
    if ! command -v debootstrap >/dev/null; then
        host_apt_get update -qq
        host_apt_get install -y -qq debootstrap
    fi
    mirror=$(cleanroot_mirror "$suite") || exit 1
    echo "Mirror:  $mirror ($suite)"

    mkdir -p "$parent" "$(dirname "$tarball")"
    # The real path: /proc/mounts and /proc/<pid>/root name it so.
    work=$(readlink -f "$(mktemp -d "$parent/cleanroot.XXXXXX")")
    case "$work" in
    *[[:space:]]*)
        rmdir "$work"
        echo "The root's folder must hold no spaces in its path: $work" >&2
        exit 2
        ;;
    esac
    root="$work/root"
    trap cleanroot_cleanup EXIT
    trap 'exit 130' INT TERM

    if [ -s "$tarball" ] && [ -n "$(find "$tarball" -mtime +"$days")" ]; then
        echo "The base tarball is older than $days days: downloading it afresh."
        rm -f "$tarball"
    fi
    if [ ! -s "$tarball" ]; then
        stage "Downloading a minimal $suite${arch:+ for $arch} (kept in $tarball)"
        debootstrap "${arch_opt[@]}" --variant=minbase --make-tarball="$tarball.part" "$suite" "$work/download" "$mirror" \
            >"$work/download.log" 2>&1 || {
            tail -n 30 "$work/download.log"
            exit 1
        }
        mv "$tarball.part" "$tarball"
        rm -rf "$work/download"
    fi
    stage "debootstrap ${arch_opt[*]}${arch:+ }--variant=minbase $suite"
    if [ -z "$arch" ]; then
        debootstrap --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" "$mirror" \
            >"$work/debootstrap.log" 2>&1 || {
            tail -n 30 "$work/debootstrap.log"
            exit 1
        }
    else
        # Emulated, dpkg spends most of its time waiting for the disk: it
        # syncs every file it writes, which a root thrown away at the end
        # does not need. So the packages are unpacked first (--foreign, by
        # this machine's own programs), then dpkg is told not to sync, then
        # the root installs them (--second-stage, emulated).
        debootstrap "${arch_opt[@]}" --foreign --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" \
            "$mirror" >"$work/debootstrap.log" 2>&1 \
            && echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/kiverlo-cleanroot-unsafe-io" \
            && chroot "$root" /debootstrap/debootstrap --second-stage >>"$work/debootstrap.log" 2>&1 || {
            tail -n 30 "$work/debootstrap.log"
            exit 1
        }
    fi
    echo "Base system ready: $(du -sh --one-file-system "$root" | cut -f1)"

    # The program finds its own folder through /proc/self/exe; apt wants a
    # pseudo-terminal for its log, and so does the simulated board (a private
    # instance, apart from the host's).
    mount -t proc proc "$root/proc"
    mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    if [ -n "${CLEANROOT_APT_ARCHIVES:-}" ]; then
        mkdir -p "$CLEANROOT_APT_ARCHIVES/partial"
        mount --bind "$CLEANROOT_APT_ARCHIVES" "$root/var/cache/apt/archives"
    fi
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"

    stage "apt-get update and upgrade in the root"
    in_root apt-get -qq update
    in_root apt-get -y -qq -o Dpkg::Use-Pty=0 dist-upgrade >"$work/upgrade.log" 2>&1 || {
        tail -n 30 "$work/upgrade.log"
        exit 1
    }
    echo "Up to date: $(grep -c '^Unpacking ' "$work/upgrade.log") packages upgraded."
}

cleanroot_copy_sources() {
    mkdir -p "$1"
    git -c safe.directory="$repo" -C "$repo" ls-files -z --cached --others --exclude-standard |
        (cd "$repo" && xargs -0 sh -c 'for f; do if [ -e "$f" ] || [ -L "$f" ]; then printf "%s\0" "$f"; fi; done' sh) |
        (cd "$repo" && tar --null -T - -cf -) | tar -xf - -C "$1"
}

cleanroot_check_package() {
    local deb=$1 only=${2:-} name
    name=$(basename "$deb")
    cp "$deb" "$root/tmp/"
    install -m 755 "$repo/debian/tests/starts-offscreen" "$root/tmp/starts-offscreen"

    stage "apt-get install ./$name (only what it depends on)"
    in_root apt-get install -y -qq --no-install-recommends "/tmp/$name" >"$work/install.log" 2>&1 || {
        cat "$work/install.log"
        exit 1
    }
    in_root dpkg-query -W -f='Installed: ${Package} ${Version}\n' kiverlo

    stage "The installed package, offscreen (debian/tests/starts-offscreen)"
    in_root /bin/bash /tmp/starts-offscreen
    [ "$only" != offscreen-only ] || return 0

    stage "The window and its icon on a virtual X display"
    # Offscreen windows have no window-manager side: the icon only shows on a
    # real display. Qt hands a window's icon to X as the _NET_WM_ICON
    # property, one picture per size, which xprop lists. Installed after the
    # checks above, so they cannot hide a missing dependency.
    in_root apt-get install -y -qq --no-install-recommends xvfb x11-utils >/dev/null
    cat >"$root/tmp/icon-on-display" <<'CHECK'
set -u
home=$(mktemp -d)
mkdir -p "$home/config" "$home/runtime" && chmod 700 "$home/runtime"
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime"
# -displayfd: the server takes a free display number and tells it. At
# 96 dpi, a scale of 100 %: the tool scales to the display's resolution, and
# with Debian 12's Xvfb at its default resolution the icon's pictures came
# out 4 % larger than the sizes the file holds.
Xvfb -displayfd 3 -nolisten tcp -dpi 96 -screen 0 1024x768x24 3>"$home/display" 2>"$home/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$home/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$home/display")"
(cd /usr/lib/kiverlo && exec env QT_QPA_PLATFORM=xcb kiverlo) >"$home/kiverlo.log" 2>&1 &
kiverlo=$!
window=
for _ in $(seq 100); do
    window=$(xwininfo -root -tree | awk '/"Kiverlo"/ { print $1; exit }')
    [ -n "$window" ] && break
    sleep 0.1
done
rc=1
if [ -z "$window" ]; then
    echo "FAIL: no window named Kiverlo on $DISPLAY"
    cat "$home/kiverlo.log"
else
    echo "ok:   window \"Kiverlo\" ($window) on $DISPLAY"
    sizes=$(xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | tr -d 'Icon()' | tr -s ' \n' ' ')
    # my_app.icns holds 16, 32, 48, 128 and 256 px; without it (or without
    # the plugin that reads it) the window has no icon at all.
    if echo " $sizes " | grep -q ' 16 x 16 32 x 32 48 x 48 128 x 128 '; then
        echo "ok:   the window carries its icon, in sizes:$sizes"
        rc=0
    else
        echo "FAIL: the window does not carry the sizes of my_app.icns (_NET_WM_ICON:${sizes:- none})"
    fi
fi
kill "$kiverlo" "$xvfb" 2>/dev/null
wait "$kiverlo" "$xvfb" 2>/dev/null
rm -rf "$home"
exit $rc
CHECK
    in_root /bin/bash /tmp/icon-on-display
}
