#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build, made on this Debian machine: cross-builds Kiverlo.exe
# and its Windows tests with MinGW-w64 against the Windows SDK (Qt, avrdude,
# the compiler's runtime), runs the tests under Wine in a throwaway prefix
# inside build-win/, and makes the package a Windows user gets: a ZIP (and an
# NSIS installer) in build-win/packages/, with their SHA256SUMS; then
# installs, starts, upgrades and uninstalls the installer under Wine (64-bit,
# like the installer: no 32-bit Wine is needed), also over an installation
# of the 32-bit installer of earlier builds.
#
# scripts/windows.sh --again checks, after a run without it, that the package
# is reproducible: it builds the ZIP and the installer a second time, from
# scratch (a copy of the sources, the SDK unpacked afresh), in a folder whose
# path has another length, under another umask, and compares them with the
# first ones byte for byte (scripts/test.sh runs it some minutes later).
#
# scripts/windows.sh --package-checks runs only the checks of the package and
# of the installer, with this system's CMake, MinGW-w64, NSIS and Wine,
# against the SDK that a run without it unpacked into build-win/sdk/ (here,
# or on another machine and copied here): it builds in build-win/ afresh
# only the tool and the checks' own programs, runs the package check under
# Wine, makes the packages and checks the installer under Wine.
# scripts/other-release-test.sh runs it in the other Debian release's root.
#
# The SDK is the tarball in ../shared/windows-sdk/ beside this checkout, or
# wherever KIVERLO_WIN_SDK points (its folder or the tarball itself); the
# project's recipe, scripts/windows-sdk.sh, makes it. Without it the script
# fails and says where it looked.
# Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

started=$SECONDS
build="$repo/build-win"
mode=all
case "${1:-}" in
--again) mode=again ;;
--package-checks) mode=package-checks ;;
"") ;;
*)
    echo "usage: $0 [--again | --package-checks]" >&2
    exit 2
    ;;
esac
# Every time stamp that goes into the package is the last commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -c safe.directory="$repo" -C "$repo" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

if [ "$mode" != package-checks ]; then
    sdk_source=${KIVERLO_WIN_SDK:-$repo/../shared/windows-sdk}
    if [ -d "$sdk_source" ]; then
        tarball="$sdk_source/kiverlo-win64-sdk.tar.xz"
    else
        tarball=$sdk_source
    fi
    if [ ! -f "$tarball" ]; then
        echo "No Windows SDK at $sdk_source (kiverlo-win64-sdk.tar.xz): the Windows build cannot run." >&2
        echo "Set KIVERLO_WIN_SDK to its folder (or the tarball)." >&2
        exit 1
    fi
fi

# Its steps are headed one level below the stages of test.sh.
STAGE_MARK=--
stage "Packages"
# What the tool is built, packed and checked with (all that --package-checks
# needs), then what the other tests need.
check_packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 nsis fonts-dejavu-core
    xvfb zip unzip file)
if [ "$mode" = package-checks ]; then
    install_missing "${check_packages[@]}"
else
    install_missing "${check_packages[@]}" icoutils build-essential libsimavr-dev libelf-dev arduino-core-avr \
        gcc-avr avr-libc
fi

# unpack_sdk <build dir>: the SDK in <build dir>/sdk/, unpacked again only
# when the tarball changed; prints its folder.
unpack_sdk() {
    local sdk="$1/sdk/kiverlo-win64-sdk" stamp="$1/sdk/tarball.sha256" checksum
    checksum=$(sha256sum "$tarball" | cut -d' ' -f1)
    if [ ! -d "$sdk" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$checksum" ]; then
        rm -rf "$1/sdk"
        mkdir -p "$1/sdk"
        tar -xJf "$tarball" -C "$1/sdk"
        echo "$checksum" >"$stamp"
        echo "unpacked $tarball" >&2
    else
        echo "unchanged: $sdk" >&2
    fi
    echo "$sdk"
}

# configure <source dir> <build dir> <SDK folder> <cmake option>...: afresh,
# so that nothing cached by an earlier run changes the build.
configure() {
    local source=$1 dir=$2 sdk=$3
    shift 3
    mkdir -p "$dir"
    rm -f "$dir/CMakeCache.txt"
    cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$sdk/mingw-posix-toolchain.cmake" -DCMAKE_PREFIX_PATH="$sdk/qt" \
        -DKIVERLO_AVRDUDE="$sdk/avrdude/bin/avrdude.exe" -DKIVERLO_AVRDUDE_CONF="$sdk/avrdude/etc/avrdude.conf" \
        -DKIVERLO_MINGW_RUNTIME_DIR="$sdk/mingw-runtime" -DKIVERLO_BENCHMARKS=OFF "$@" >"$dir/configure.log" 2>&1 \
        || { cat "$dir/configure.log"; exit 1; }
}

# package <build dir> <packages folder>: the ZIP and the installer, with
# their checksums in SHA256SUMS.
package() {
    rm -rf "$2"
    cpack --config "$1/CPackConfig.cmake" -B "$2" >"$1/packages.log" 2>&1 || { cat "$1/packages.log"; exit 1; }
    rm -rf "$2/_CPack_Packages"
    (cd "$2" && sha256sum Kiverlo-*.zip Kiverlo-*.exe >SHA256SUMS)
}

if [ "$mode" = again ]; then
    stage "The same bytes from a second build"
    [ -f "$build/packages/SHA256SUMS" ] || { echo "No first build: run scripts/windows.sh first."; exit 1; }
    # The SDK again inside the build folder: the linker orders the DLLs that
    # Kiverlo.exe imports by the paths of their import libraries, which
    # CMake writes relative to the build folder when they are inside it.
    second="$repo/build-win-again/second"
    rm -rf "$repo/build-win-again"
    (
        umask 0077
        copy_sources "$second/kiverlo"
        configure "$second/kiverlo" "$second/build" "$(unpack_sdk "$second/build")" -DBUILD_TESTING=OFF
        cmake --build "$second/build" -j "$jobs" >"$second/build.log" 2>&1 || { cat "$second/build.log"; exit 1; }
        package "$second/build" "$second/packages"
    )
    (cd "$build/packages" && ls Kiverlo-* SHA256SUMS) >"$repo/build-win-again/names"
    mapfile -t names <"$repo/build-win-again/names"
    compare_artifacts "$build/packages" "$second/packages" "${names[@]}"
    rm -rf "$repo/build-win-again"
    stage ""
    echo "Second Windows build, identical: $((SECONDS - started)) s"
    exit 0
fi

# make_packages: the ZIP and the installer in build-win/packages/, with their
# checksums, made by this system's CPack and NSIS.
make_packages() {
    stage "Package"
    # The installer is a 64-bit program: makensis needs the amd64-unicode stubs
    # and plugins (Debian's nsis has them), or there is no installer to check.
    mkdir -p "$build/nsis-target"
    printf '%s\n' 'Target amd64-unicode' 'OutFile "probe.exe"' 'RequestExecutionLevel user' \
        'ReserveFile /plugin InstallOptions.dll' 'ReserveFile /plugin StartMenu.dll' \
        'Section' 'UserInfo::GetName' 'Pop $0' 'SectionEnd' >"$build/nsis-target/probe.nsi"
    if ! command -v makensis >/dev/null; then
        echo "No makensis (Debian: nsis): the installer cannot be built, so it cannot be checked."
        exit 1
    elif ! (cd "$build/nsis-target" && makensis -V1 probe.nsi) >"$build/nsis-target/log" 2>&1; then
        cat "$build/nsis-target/log"
        echo "makensis cannot build a 64-bit installer (no amd64-unicode stubs or plugins): the installer cannot be checked."
        exit 1
    fi
    echo "makensis $(makensis -VERSION)"
    rm -rf "$build/nsis-target"
    package "$build" "$build/packages"
    ls -l "$build/packages"
    cat "$build/packages/SHA256SUMS"
}

# check_installer: the installer in build-win/packages/ under Wine
# (tests/windows/installer-check.sh), with a newer one and the 32-bit one of
# earlier builds packed here for the upgrades.
check_installer() {
    stage "Installer under Wine"
    # The installer and its uninstaller are 64-bit programs, which wine64 runs.
    local wine64=/usr/lib/wine/wine64 version installer newer_version
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
    installer="$build/packages/Kiverlo-$version-win64.exe"
    if [ ! -x "$wine64" ] || ! "$wine64" --version >/dev/null 2>&1; then
        echo "No 64-bit Wine at $wine64 (Debian: wine64): the installer cannot be checked."
        exit 1
    fi
    "$wine64" --version
    if [ ! -f "$installer" ]; then
        echo "No installer: $installer"
        exit 1
    fi
    # The same installer with a newer version number, for the upgrade.
    newer_version="${version%.*}.$((${version##*.} + 1))"
    rm -rf "$build/installer-newer" "$build/installer-32bit"
    cpack -G NSIS -R "$newer_version" --config "$build/CPackConfig.cmake" -B "$build/installer-newer" \
        >"$build/installer-newer.log" 2>&1 || { cat "$build/installer-newer.log"; exit 1; }
    # The 32-bit installer of earlier builds, packed with its settings from the
    # package's files, for the upgrade from it; makensis hands out the
    # uninstaller it carries (see installer-32bit.cmake).
    mkdir -p "$build/installer-32bit"
    unzip -q "$build/packages/Kiverlo-$version-win64.zip" -d "$build/installer-32bit/files"
    KIVERLO_32BIT_UNINSTALLER="$build/installer-32bit/Uninstall.exe" \
        cpack --config "$repo/tests/windows/installer-32bit.cmake" -B "$build/installer-32bit" \
        -D "CPACK_INSTALLED_DIRECTORIES=$build/installer-32bit/files/Kiverlo-$version-win64;." \
        -D CPACK_KIVERLO_SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" >"$build/installer-32bit.log" 2>&1 \
        || { cat "$build/installer-32bit.log"; exit 1; }
    KIVERLO_WINE_EXITRECORD="$build/wine-tools/kiverlo_exitrecord.exe" \
        sh "$repo/tests/windows/installer-check.sh" "$installer" "$build/installer-newer/Kiverlo-$version-win64.exe" \
        "$newer_version" "$build/packages/Kiverlo-$version-win64.zip" "$build/installer-32bit/Uninstall.exe" \
        "$build/installer-check" "$wine64" /usr/lib/wine/wineserver "$build/tests/windows/kiverlo_windowprobe.exe" \
        "$build/tests/windows/kiverlo_shortcut.exe" "$build/tests/gui/kiverlo_fakeavrdude.exe"
    rm -rf "$build/installer-newer" "$build/installer-32bit"
}

if [ "$mode" = package-checks ]; then
    sdk="$build/sdk/kiverlo-win64-sdk"
    if [ ! -d "$sdk" ]; then
        echo "No SDK unpacked in $build/sdk/: run scripts/windows.sh first." >&2
        exit 1
    fi
    stage "Cross-build of the tool and the checks' programs"
    # The package holds nothing else, and the checks start nothing else: the
    # packing (cpack's "preinstall" step) is told not to build the rest.
    configure "$repo" "$build" "$sdk" -DBUILD_TESTING=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
    x86_64-w64-mingw32-g++-posix --version | sed -n 1p
    cmake --build "$build" -j "$jobs" --target Kiverlo kiverlo_exitrecord kiverlo_windowprobe kiverlo_packageprobe \
        kiverlo_versioninfo kiverlo_shortcut kiverlo_fakeavrdude
    stage "Package under Wine (tests/windows/package-check.sh)"
    run_tests "$build" -R '^windows\.package$' --no-tests=error
    make_packages
    check_installer
    stage ""
    echo "Package and installer checks: $((SECONDS - started)) s"
    exit 0
fi

stage "SDK"
sdk=$(unpack_sdk "$build")

stage "Cross-build"
configure "$repo" "$build" "$sdk" -DBUILD_TESTING=ON
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
run_tests "$build"
# How long each upload to the simulated board took under Wine, the port
# nobody serves among them: ctest shows a test's output only when it fails.
echo "The uploads under Wine (wine.upload_to_board):"
sed -n '/"wine.upload_to_board" start time/,/<end of output>/p' "$build/Testing/Temporary/LastTest.log" \
    | grep -E ': passed in ' | sed 's/^/  /'

make_packages
check_installer

stage ""
echo "Windows build, tests and package: $((SECONDS - started)) s"
