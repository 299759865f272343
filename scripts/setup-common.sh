# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by run.sh and test.sh: installs what is missing and builds.
# Sourced, not run.

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

# What the tool needs to build and to upload for real.
run_packages=(build-essential cmake qtbase5-dev libqt5serialport5-dev qt5-image-formats-plugins avrdude)

# install_missing <package>...: installs with apt-get whatever of these is not
# installed yet, with sudo when not root.
install_missing() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
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
