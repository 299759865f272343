#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# The packages for a Raspberry Pi, checked as a Pi user meets them, under
# emulation (no Pi is used): for each, a fresh, minimal Debian root of the
# release this machine runs and builds the packages for (Debian 12, on which
# Raspberry Pi OS is based, on Debian 12; Debian 13 on Debian 13, whose
# packages do not install on Debian 12) and of the package's architecture,
# made with debootstrap, whose every program runs through qemu-user-static.
# There:
#   1. the package installs with apt-get alone, which brings avrdude and Qt
#      of that architecture, and the installed package's own test
#      (debian/tests/starts-offscreen) passes;
#   2. a user "pi" in the dialout group starts Kiverlo offscreen with the
#      command of its menu entry (Exec= and Path= of the installed .desktop
#      file), and uploads a random image filling the application flash
#      through the window: the port picked in the port list, the file typed
#      into the file dialog, the root's own avrdude writing to the simulated
#      board. The window must say "Completed!", and the board's flash, read
#      back, must hold the image byte for byte.
# The board (tests/board, built for this machine) runs outside the root; its
# pseudo-terminal is bound into the root as /dev/ttyACM0, root:dialout, as a
# Pi shows an Uno. What clicks and types is uploaddriver (tests/installed/),
# cross-compiled for the architecture and preloaded into the installed
# program: the window's own widgets get the mouse clicks and the keys, and it
# reads the label as the user would.
#
# scripts/arm-test.sh [--packages-when FILE] ARCH|PACKAGE...
#   ARCH      arm64 or armhf: the package in build-deb-ARCH/, cross-built by
#             `scripts/deb.sh --arch ARCH` first when there is none
#   PACKAGE   a kiverlo_<version>_<arch>.deb file, for arm64 or armhf
#   --packages-when FILE
#             the roots are made at once, and the packages (ARCH only) are
#             taken from build-deb-ARCH/ once FILE says "built" (while it
#             does not exist, the script waits for it, an hour at most; any
#             other word in it stops the script): scripts/test.sh makes the
#             roots, whose emulated programs take minutes, while it builds
#             the packages.
# Several are checked side by side, each in a root of its own, their lines
# marked with the architecture: emulated, dpkg keeps one processor busy.
#
# Needs root (asks sudo) and a Debian mirror (see scripts/cleanroot-common.sh);
# adds the architectures to dpkg and registers qemu for them
# (scripts/emulation-common.sh). The roots live in build-arm/cleanroot.*/ and
# are removed at the end, whatever happens. Kept between runs in
# /var/cache/kiverlo-roots/ (or $KIVERLO_ROOT_CACHE): the minimal base system
# of each architecture as debootstrap downloaded it, a week at most, and the
# packages apt downloaded.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    exec sudo -- "$0" "$@"
fi

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/setup-common.sh
source "$repo/scripts/setup-common.sh"
# shellcheck source=scripts/cleanroot-common.sh
source "$repo/scripts/cleanroot-common.sh"
# shellcheck source=scripts/emulation-common.sh
source "$repo/scripts/emulation-common.sh"
start=$SECONDS
stage() { printf '\n%s %s (%d s so far) %s\n' "${STAGE_MARK:-====}" "$1" $((SECONDS - start)) "${STAGE_MARK:-====}"; }

# The packages are built on this machine, for its release.
suite=$(host_codename)
case "$suite" in
bookworm | trixie) ;;
*)
    echo "This machine runs '${suite:-an unknown release}', neither Debian 12 (bookworm) nor 13 (trixie)." >&2
    exit 1
    ;;
esac
out="$repo/build-arm"
usage() {
    echo "usage: $0 [--packages-when FILE] ARCH|PACKAGE... (ARCH: arm64 or armhf; PACKAGE: a kiverlo_<version>_<arch>.deb)" >&2
    exit 2
}
packages_when=
if [ "${1:-}" = --packages-when ]; then
    [ -n "${2:-}" ] || usage
    packages_when=$(readlink -f "$2")
    shift 2
fi
[ $# -gt 0 ] || usage

# --- the packages: one for each architecture ------------------------------------------
arches=()
declare -A debs=()
for what in "$@"; do
    case "$what" in
    *.deb)
        [ -z "$packages_when" ] || usage
        deb=$(readlink -f "$what")
        [ -f "$deb" ] || {
            echo "No such package: $what" >&2
            exit 2
        }
        arch=$(dpkg-deb -f "$deb" Architecture)
        ;;
    arm64 | armhf)
        arch=$what
        deb=
        [ -n "$packages_when" ] || deb=$(ls -t "$repo/build-deb-$arch"/kiverlo_*_"$arch".deb 2>/dev/null | head -n 1 || true)
        if [ -z "$deb" ] && [ -z "$packages_when" ]; then
            stage "No package in build-deb-$arch/ yet: scripts/deb.sh --arch $arch"
            bash "$repo/scripts/deb.sh" --arch "$arch"
            deb=$(ls -t "$repo/build-deb-$arch"/kiverlo_*_"$arch".deb | head -n 1)
        fi
        ;;
    *) usage ;;
    esac
    case "$arch" in
    arm64 | armhf) ;;
    *)
        echo "$deb is a package for $arch, not for arm64 or armhf." >&2
        exit 2
        ;;
    esac
    if [ -n "${debs[$arch]+set}" ]; then
        echo "$arch twice: ${debs[$arch]:-$arch} and $what" >&2
        exit 2
    fi
    arches+=("$arch")
    debs[$arch]=$deb
done

# wait_for_packages: with --packages-when, waits until the file says the
# packages are built, then takes each from build-deb-ARCH/.
wait_for_packages() {
    [ -n "$packages_when" ] || return 0
    wait_until_built "$packages_when" "the packages" || return 1
    local arch
    for arch in "${arches[@]}"; do
        debs[$arch]=$(ls -t "$repo/build-deb-$arch"/kiverlo_*_"$arch".deb 2>/dev/null | head -n 1 || true)
        [ -n "${debs[$arch]}" ] || {
            echo "No package in build-deb-$arch/." >&2
            return 1
        }
    done
}

stage "The simulated board, built for this machine"
# The board and its bootloader as the tests build them (tests/board).
install_missing "${run_packages[@]}" libsimavr-dev libelf-dev arduino-core-avr gcc-avr avr-libc
mkdir -p "$out"
rm -f "$out/board/CMakeCache.txt"
if ! cmake -S "$repo" -B "$out/board" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVERLO_QT_MAJOR=6 -DBUILD_TESTING=ON \
    -DKIVERLO_BENCHMARKS=OFF -DKIVERLO_REQUIRE_BOARD=ON -DKIVERLO_SANITIZE=OFF >"$out/board.log" 2>&1 \
    || ! cmake --build "$out/board" -j "$jobs" --target kiverlo_boardsim >>"$out/board.log" 2>&1; then
    tail -n 40 "$out/board.log"
    exit 1
fi
boardsim=$out/board/tests/board/kiverlo_boardsim

# --- for each architecture: emulation, and the driver built for it --------------------
for arch in "${arches[@]}"; do
    stage "$arch: emulation"
    emulation_ready "$arch"
    foreign_arch_enable "$arch"
done

# build_driver <arch>: the driver for the package of <arch>, with its Qt;
# sets runtime to the package it needs in the root.
build_driver() {
    local arch=$1 deb=${debs[$1]} qt driver_packages triplet
    # The driver goes into the installed program: it must use the same Qt.
    if dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6'; then
        qt=6
        driver_packages=("qt6-base-dev:$arch")
        runtime=libqt6test6
    else
        qt=5
        driver_packages=("qtbase5-dev:$arch")
        runtime=libqt5test5
    fi
    stage "The driver cross-compiled (tests/installed); package $(basename "$deb"), Qt $qt"
    install_missing "crossbuild-essential-$arch" "${driver_packages[@]}"
    triplet=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_TYPE 2>/dev/null)
    rm -rf "$out/driver-$arch"
    if ! cmake -S "$repo/tests/installed" -B "$out/driver-$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_CPU 2>/dev/null)" \
        -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" -DKIVERLO_QT_MAJOR=$qt \
        >"$out/driver-$arch.log" 2>&1 \
        || ! cmake --build "$out/driver-$arch" >>"$out/driver-$arch.log" 2>&1; then
        tail -n 40 "$out/driver-$arch.log"
        return 1
    fi
}

# check_in_root <arch>: the package of <arch> in a fresh root of its own,
# removed when the function (a subshell) ends, whatever happens.
check_in_root() (
    arch=$1
    driver=$out/driver-$arch/kiverlo_uploaddriver.so
    cache=${KIVERLO_ROOT_CACHE:-/var/cache/kiverlo-roots}
    export CLEANROOT_APT_ARCHIVES="$cache/$suite-$arch-apt-archives"
    board_pid=
    # The board ends with the root.
    board_cleanup() {
        if [ -n "$board_pid" ]; then
            kill "$board_pid" 2>/dev/null || true
            wait "$board_pid" 2>/dev/null || true
        fi
    }
    cleanroot_open "$suite" "$cache/$suite-$arch-minbase.tgz" "$out" "$arch"
    # (cleanroot_cleanup ends the subshell with the status it finds in $?.)
    trap 'status=$?; board_cleanup; (exit $status); cleanroot_cleanup' EXIT
    echo "Root of $(in_root dpkg --print-architecture), running $(in_root uname -m) programs."

    wait_for_packages
    deb=${debs[$arch]}
    build_driver "$arch"
    cleanroot_check_package "$deb" offscreen-only

    stage "An upload through the window, as the user pi, started from the menu entry's command"
    # The board, with its pseudo-terminal where the root has a Pi's Uno.
    mkdir -p "$work/board"
    "$boardsim" --ready-file "$work/board/ready" --flash-out "$work/board/flash" --timeout 900 &
    board_pid=$!
    for _ in $(seq 500); do
        [ -s "$work/board/ready" ] && break
        sleep 0.02
    done
    [ -s "$work/board/ready" ] || {
        echo "The simulated board did not start." >&2
        exit 1
    }
    pty=$(head -n 1 "$work/board/ready")
    dialout=$(awk -F: '$1 == "dialout" { print $3 }' "$root/etc/group")
    chown "0:$dialout" "$pty"
    chmod 660 "$pty"
    touch "$root/dev/ttyACM0"
    mount --bind "$pty" "$root/dev/ttyACM0"
    echo "Board: $pty, in the root /dev/ttyACM0 ($(in_root stat -c '%U:%G %a' /dev/ttyACM0))"

    # The user, in the group that may use serial ports, as on a Pi, with the
    # runtime folder a desktop session gives it.
    in_root useradd --create-home --groups dialout --shell /bin/bash pi
    uid=$(in_root id -u pi)
    in_root install -d -o pi -g pi -m 700 "/run/user/$uid"
    # What the driver needs beyond the package (installed only now, so that
    # the checks above could not lean on it).
    in_root apt-get install -y -qq --no-install-recommends "$runtime" >"$work/driver-packages.log" 2>&1 || {
        cat "$work/driver-packages.log"
        exit 1
    }
    install -m 644 "$driver" "$root/usr/local/lib/kiverlo-uploaddriver.so"

    # A random image filling the application flash (31,744 bytes below the
    # 1 KiB boot section), as an Intel HEX file in the user's folder.
    head -c 31744 /dev/urandom >"$work/image.bin"
    mkdir -p "$root/home/pi/firmware"
    objcopy -I binary -O ihex "$work/image.bin" "$root/home/pi/firmware/image.hex"
    in_root chown -R pi:pi /home/pi/firmware

    # The menu entry's command, run in its folder, as a desktop starts it
    # (no field codes: the entry passes no file).
    desktop=$root/usr/share/applications/org.trunoma.Kiverlo.desktop
    exec_line=$(sed -n 's/^Exec=//p' "$desktop" | head -n 1)
    path_line=$(sed -n 's/^Path=//p' "$desktop" | head -n 1)
    echo "Menu entry: Exec=$exec_line, Path=$path_line"
    case "$exec_line" in
    *%*)
        echo "The menu entry's command takes arguments ($exec_line): this check starts it without." >&2
        exit 1
        ;;
    esac
    upload_start=$SECONDS
    set +e
    # shellcheck disable=SC2016 # expanded by that shell
    in_root timeout 600 setpriv --reuid=pi --regid=pi --init-groups \
        env HOME=/home/pi USER=pi XDG_RUNTIME_DIR="/run/user/$uid" QT_QPA_PLATFORM=offscreen \
        LD_PRELOAD=/usr/local/lib/kiverlo-uploaddriver.so KIVERLO_DRIVE_PORT=/dev/ttyACM0 \
        KIVERLO_DRIVE_HEX=/home/pi/firmware/image.hex KIVERLO_DRIVE_REPORT=/home/pi/report.txt \
        /bin/sh -c 'cd "$1" && exec $2' sh "$path_line" "$exec_line" >"$work/kiverlo.log" 2>&1
    rc=$?
    set -e
    echo "Kiverlo ended with exit code $rc after $((SECONDS - upload_start)) s."
    report=$root/home/pi/report.txt

    failures=0
    fail() {
        echo "FAIL: $*"
        failures=$((failures + 1))
    }
    field() { sed -n "s/^$1: //p" "$report" | head -n 1; }
    if [ ! -s "$report" ]; then
        fail "the driver wrote no report"
    else
        echo "Port list: $(field ports)"
        echo "Verdict:   $(field verdict) after $(field seconds) s"
        ! grep -q '^FAIL: ' "$report" || fail "$(sed -n 's/^FAIL: //p' "$report")"
        [ "$(field verdict)" = 'Completed!' ] || fail "the window says '$(field verdict)', not 'Completed!'"
        [ "$(field unlocked)" = yes ] || fail "the port list stayed locked after the run"
    fi
    [ "$rc" -eq 0 ] || fail "Kiverlo ended with exit code $rc, not 0, when its window was closed"

    # The board's flash, read back.
    rm -f "$work/board/flash"
    kill -USR1 "$board_pid"
    for _ in $(seq 500); do
        [ -f "$work/board/flash" ] && break
        sleep 0.02
    done
    if [ ! -f "$work/board/flash" ]; then
        fail "the board gave no flash dump"
    elif cmp -n 31744 "$work/image.bin" "$work/board/flash"; then
        echo "ok:   the board's flash holds the image, 31,744 bytes, byte for byte"
    else
        fail "the board's flash differs from the image"
    fi

    # The next start finds the user's choices.
    settings=$root/home/pi/.config/Trunoma/Kiverlo.conf
    if grep -qx 'commPort=/dev/ttyACM0' "$settings" 2>/dev/null \
        && grep -qx 'filename=/home/pi/firmware/image.hex' "$settings"; then
        echo "ok:   the port and the file are remembered in ~pi/.config/Trunoma/Kiverlo.conf"
    else
        fail "the settings do not hold the port and the file: $(cat "$settings" 2>/dev/null)"
    fi

    if [ "$failures" -ne 0 ]; then
        echo "---- the report:"
        cat "$report" 2>/dev/null || true
        echo "---- Kiverlo's output:"
        tail -n 40 "$work/kiverlo.log"
        exit 1
    fi
    stage "Passed: the $arch package installs, starts and uploads through its window"
)

if ((${#arches[@]} == 1)); then
    check_in_root "${arches[0]}"
    exit 0
fi

stage "${arches[*]} side by side, each in a root of its own (lines marked with the architecture)"
# Each in a process group of its own (job control), so that an interrupt
# reaches everything it runs, and each root is cleaned up.
set -m
pids=()
trap 'for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null; done; wait; exit 130' INT TERM
for arch in "${arches[@]}"; do
    # The marking sed outlives an interrupt, so that the root's cleanup can
    # still write its lines (it would die of a broken pipe before it had
    # unmounted anything); it ends when the root's output does.
    {
        check_in_root "$arch" 2>&1 | (trap '' INT TERM && exec sed -u "s/^/$arch | /")
        exit "${PIPESTATUS[0]}"
    } &
    pids+=($!)
done
failed=()
for i in "${!arches[@]}"; do
    wait "${pids[$i]}" || failed+=("${arches[$i]}")
done
if ((${#failed[@]})); then
    stage "FAILED: ${failed[*]} (see the lines marked so above)"
    exit 1
fi
stage "Passed: ${arches[*]}"
