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
# build-deb/debootstrap-bookworm-minbase.tgz for the next run (delete it to
# start afresh).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    exec sudo -- "$0" "$@"
fi

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$repo/build-deb"
suite=bookworm
start=$SECONDS

stage() { printf '\n==== %s (%d s so far) ====\n' "$1" $((SECONDS - start)); }

# --- what is needed -----------------------------------------------------------
if ! command -v debootstrap >/dev/null; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq debootstrap
fi

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

# The first mirror that serves <suite> in this machine's APT sources, one-line
# (sources.list) or deb822 (*.sources) style.
apt_mirror() {
    local f
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
mirror=${KIVERLO_MIRROR:-$(apt_mirror | head -n 1)}
mirror=${mirror:-http://deb.debian.org/debian}

[ $mode = build ] || echo "Package: $deb"
echo "Mirror:  $mirror ($suite)"

# --- the temporary root, removed whatever happens --------------------------------
mkdir -p "$out"
# The real path: /proc/mounts and /proc/<pid>/root name it so.
work=$(readlink -f "$(mktemp -d "$out/cleanroot.XXXXXX")")
case "$work" in
*[[:space:]]*)
    rmdir "$work"
    echo "The build folder's path must hold no spaces: $work" >&2
    exit 2
    ;;
esac
root="$work/root"
cleanup() {
    local rc=$? p pid m
    set +e
    # Processes still running inside the root (a check cut short) end first,
    # each by its pid, so that nothing holds the mounts.
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
    echo "Clean-root test: $((SECONDS - start)) s in all"
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- a minimal Debian 12 -------------------------------------------------------
tarball="$out/debootstrap-$suite-minbase.tgz"
if [ ! -s "$tarball" ]; then
    stage "Downloading a minimal $suite (kept in ${tarball#"$repo"/})"
    debootstrap --variant=minbase --make-tarball="$tarball.part" "$suite" "$work/download" "$mirror"
    mv "$tarball.part" "$tarball"
    rm -rf "$work/download"
fi
stage "debootstrap --variant=minbase $suite"
debootstrap --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
    tail -n 30 "$work/debootstrap.log"
    exit 1
}
echo "Base system ready: $(du -sh --one-file-system "$root" | cut -f1)"

# The program finds its own folder through /proc/self/exe; apt wants a
# pseudo-terminal for its log (a private instance, apart from the host's).
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive TMPDIR=/tmp "$@"
}

if [ $mode = build ]; then
    stage "scripts/deb.sh in the fresh root"
    # The sources as scripts/deb.sh copies them: what git knows of.
    mkdir "$root/src"
    git -c safe.directory="$repo" -C "$repo" ls-files -z --cached --others --exclude-standard |
        (cd "$repo" && xargs -0 sh -c 'for f; do if [ -e "$f" ] || [ -L "$f" ]; then printf "%s\0" "$f"; fi; done' sh) |
        (cd "$repo" && tar --null -T - -cf -) | tar -xf - -C "$root/src"
    in_root /bin/bash -c 'cd /src && bash scripts/deb.sh'
    ls -l "$root"/src/build-deb/kiverlo_*.deb
    stage "Passed"
    exit 0
fi

cp "$deb" "$root/tmp/"
install -m 755 "$repo/debian/tests/starts-offscreen" "$root/tmp/starts-offscreen"

stage "apt-get install ./$(basename "$deb") (only what it depends on)"
in_root apt-get -qq update
in_root apt-get install -y --no-install-recommends "/tmp/$(basename "$deb")"
in_root dpkg-query -W -f='Installed: ${Package} ${Version}\n' kiverlo

stage "The installed package, offscreen (debian/tests/starts-offscreen)"
in_root /bin/bash /tmp/starts-offscreen

stage "The window and its icon on a virtual X display"
# Offscreen windows have no window-manager side: the icon only shows on a real
# display. Qt hands a window's icon to X as the _NET_WM_ICON property, one
# picture per size, which xprop lists. Installed after the checks above, so
# they cannot hide a missing dependency.
in_root apt-get install -y -qq --no-install-recommends xvfb x11-utils >/dev/null
cat >"$root/tmp/icon-on-display" <<'CHECK'
set -u
home=$(mktemp -d)
mkdir -p "$home/config" "$home/runtime" && chmod 700 "$home/runtime"
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime"
# -displayfd: the server takes a free display number and tells it.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$home/display" 2>"$home/xvfb.log" &
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

stage "Passed"
