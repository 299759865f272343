# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by run.sh and test.sh: installs what is missing and builds.
# Sourced, not run.

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/host-apt.sh
source "$repo/scripts/host-apt.sh"
jobs="$(nproc 2>/dev/null || echo 2)"

# What the tool needs to build with Qt 6 (the Debian package's Qt, and what
# scripts/run.sh builds) and with Qt 5 (the Windows release's), and to
# upload for real.
qt6_packages=(qt6-base-dev qt6-serialport-dev qt6-image-formats-plugins libgl-dev)
qt5_packages=(qtbase5-dev libqt5serialport5-dev qt5-image-formats-plugins)
run_packages=(build-essential cmake "${qt6_packages[@]}" avrdude)

# install_missing <package>...: installs with apt-get whatever of these is not
# installed yet, with sudo when not root.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    echo "Installing: ${missing[*]}"
    host_apt_get update -qq
    host_apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# copy_sources <folder>: the sources as they are in the working tree, what git
# knows of (tracked files and new ones that are not ignored), into <folder>;
# without git, everything but the build folders.
copy_sources() {
    mkdir -p "$1"
    if git -c safe.directory="$repo" -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$repo" && git -c safe.directory="$repo" ls-files -z --cached --others --exclude-standard) \
            | (cd "$repo" && xargs -0 sh -c 'for f; do if [ -e "$f" ] || [ -L "$f" ]; then printf "%s\0" "$f"; fi; done' sh) \
            | (cd "$repo" && tar --null -T - -cf -) | tar -xf - -C "$1"
    else
        (cd "$repo" && tar --exclude=./build --exclude='./build-*' -cf - .) | tar -xf - -C "$1"
    fi
}

# compare_artifacts <first folder> <second folder> <file>...: each file must
# be the same, byte for byte, in both; diffoscope (when installed) tells
# what differs. Returns non-zero on any difference.
compare_artifacts() {
    local first=$1 second=$2 name differ=0
    shift 2
    for name in "$@"; do
        if cmp "$first/$name" "$second/$name"; then
            echo "identical: $name"
            continue
        fi
        differ=1
        if command -v diffoscope >/dev/null; then
            diffoscope --text - --max-report-size 200000 "$first/$name" "$second/$name" | head -n 150 || true
        else
            echo "(install diffoscope to see what differs)"
        fi
    done
    return "$differ"
}

# run_tests <build dir> [ctest options...]: that build's tests; any test
# that fails, that CTest skipped or that is disabled fails the run. A test
# that finds what it needs missing must say so by failing, not pass
# unnoticed. (A Qt Test function that skips itself fails its test already:
# kiverlo_fail_qtest_skips in tests/CMakeLists.txt.)
run_tests() {
    local dir=$1 log status
    shift
    log=$(mktemp)
    set +e
    (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    set -e
    if grep -qE '\*\*\*Skipped|\((Skipped|Disabled)\)' "$log"; then
        echo "FAILED: not every test of $dir ran all the way (marked above); every test must run." >&2
        status=1
    fi
    rm -f "$log"
    return "$status"
}

# How build/ is configured, for the tests and the benchmarks alike: every
# option the project has, spelled out.
test_build_options=(-DKIVERLO_QT_MAJOR=5 -DBUILD_TESTING=ON -DKIVERLO_BENCHMARKS=ON -DKIVERLO_REQUIRE_BOARD=ON
    -DKIVERLO_SANITIZE=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)

# configure_and_build <build dir> [cmake options...]
# Configures afresh each time, so that nothing cached by an earlier run (of
# this script or of another one sharing the folder) changes what is built;
# what was compiled before is reused where it still fits.
configure_and_build() {
    local dir="$1"
    shift
    local fresh=(--fresh)
    if ! cmake --help 2>/dev/null | grep -q -- '--fresh'; then
        fresh=()
        rm -f "$dir/CMakeCache.txt"
    fi
    cmake "${fresh[@]}" -S "$repo" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$jobs"
}

# stage <title>: a heading for each stage of a script, with the time the
# previous one took. STAGE_MARK (default "====") sets the heading's mark, so
# that a script run as a stage of another shows its steps one level down.
stage_start=$SECONDS
stage() {
    local mark=${STAGE_MARK:-====}
    if [ -n "${stage_title:-}" ]; then
        echo "${mark//=/-} $stage_title: done in $((SECONDS - stage_start)) s"
    fi
    stage_title=$1
    stage_start=$SECONDS
    [ -z "$1" ] || printf '\n%s %s %s\n' "$mark" "$1" "$mark"
}
