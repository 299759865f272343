#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build, made on this Debian machine: cross-builds Kiverlo.exe
# and its Windows tests with MinGW-w64 against the Windows SDK (Qt, avrdude,
# the compiler's runtime), runs the tests under Wine in a throwaway prefix
# inside build-win/, and makes the package a Windows user gets: a ZIP (and an
# NSIS installer) in build-win/packages/.
#
# The SDK is the tarball in ../shared/windows-sdk/ beside this checkout, or
# wherever KIVERLO_WIN_SDK points (its folder or the tarball itself). Without
# it the script says so and exits 0, so a clone without the SDK still passes.
# Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

started=$SECONDS
build="$repo/build-win"

sdk_source=${KIVERLO_WIN_SDK:-$repo/../shared/windows-sdk}
if [ -d "$sdk_source" ]; then
    tarball="$sdk_source/kiverlo-win64-sdk.tar.xz"
else
    tarball=$sdk_source
fi
if [ ! -f "$tarball" ]; then
    echo "No Windows SDK at $sdk_source (kiverlo-win64-sdk.tar.xz): the Windows build is skipped."
    echo "Set KIVERLO_WIN_SDK to its folder to build and test for Windows."
    exit 0
fi

# Its steps are headed one level below the stages of test.sh.
STAGE_MARK=--
stage "Packages"
install_missing cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 nsis \
    fonts-dejavu-core xvfb xauth zip unzip icoutils \
    build-essential libsimavr-dev libelf-dev arduino-core-avr gcc-avr avr-libc

stage "SDK"
# Unpacked into the build tree, again only when the tarball changed.
sdk="$build/sdk/kiverlo-win64-sdk"
stamp="$build/sdk/tarball.sha256"
checksum=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ ! -d "$sdk" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$checksum" ]; then
    rm -rf "$build/sdk"
    mkdir -p "$build/sdk"
    tar -xJf "$tarball" -C "$build/sdk"
    echo "$checksum" >"$stamp"
    echo "unpacked $tarball"
else
    echo "unchanged: $sdk"
fi

stage "Cross-build"
# Configured afresh, so nothing cached by an earlier run changes the build.
mkdir -p "$build"
rm -f "$build/CMakeCache.txt"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$sdk/mingw-posix-toolchain.cmake" -DCMAKE_PREFIX_PATH="$sdk/qt" \
    -DKIVERLO_AVRDUDE="$sdk/avrdude/bin/avrdude.exe" -DKIVERLO_AVRDUDE_CONF="$sdk/avrdude/etc/avrdude.conf" \
    -DKIVERLO_MINGW_RUNTIME_DIR="$sdk/mingw-runtime" \
    -DBUILD_TESTING=ON -DKIVERLO_BENCHMARKS=OFF >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$jobs"

stage "Tests under Wine"
# A fresh prefix for every run of this script: the first test creates it.
stop_wine() {
    [ -f "$build/wine-run.sh" ] && sh "$build/wine-run.sh" --stop
    return 0
}
trap stop_wine EXIT
stop_wine
rm -rf "$build/wine"
(cd "$build" && ctest --output-on-failure -j "$jobs")

stage "Package"
rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >"$build/packages.log" 2>&1 \
    || { cat "$build/packages.log"; exit 1; }
rm -rf "$build/packages/_CPack_Packages"
ls -l "$build/packages"

stage ""
echo "Windows build, tests and package: $((SECONDS - started)) s"
