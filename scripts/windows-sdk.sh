#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows SDK that scripts/windows.sh builds the Windows package against,
# made from its sources: a cross SDK for 64-bit Windows built on Debian with
# MinGW-w64 (posix thread model), unpacking to kiverlo-win64-sdk/:
#   qt/             Qt 5.15.19 qtbase (shared, release) with the security
#                   fixes Debian backports (its CVE-* patches), Qt Serial
#                   Port 5.15.15 and the icns image plugin; Linux host tools
#   avrdude/        avrdude 7.1 for Windows (static), with upstream's later
#                   fixes to its Windows serial time-outs
#   mingw-runtime/  the compiler's runtime DLLs
#   mingw-posix-toolchain.cmake
#
# Every source is a file of a Debian source package, pinned by version and
# SHA-256 in scripts/windows-sdk/sources, and downloaded with apt-get from
# this machine's Debian mirror through an APT configuration of the script's
# own (its own source list, with deb-src lines for the releases that may
# carry the pinned versions, and its own index and cache folders; this
# machine's keyring). Our changes are the patches in scripts/windows-sdk/.
#
# scripts/windows-sdk.sh          builds the SDK: <work>/out/kiverlo-win64-sdk.tar.xz
#                                 (hours on 2 cores: see docs/windows.md)
# scripts/windows-sdk.sh --check  the quick check that CI runs (a few minutes):
#                                 the sources still download and match their
#                                 checksums, every patch applies, the licence
#                                 notes name the pinned sources, and the
#                                 avrdude.exe built from the recipe gives up on
#                                 a silent COM port under Wine as soon as the
#                                 SDK's does, and within 70 s
#
# KIVERLO_SDK_WORK   the work folder (default build-sdk/ in the checkout)
#                    (each run starts afresh there; about 6 GB for a build)
# KIVERLO_SDK_CACHE  the downloaded sources and the script's APT state, kept
#                    between runs (default /var/cache/kiverlo-sdk-sources;
#                    apt-get checks a kept file against the mirror's index
#                    before it is used)
# KIVERLO_SDK_SUITES the releases searched for the pinned versions (default
#                    "bookworm trixie forky sid")
# KIVERLO_MIRROR     the Debian mirror (default: this machine's APT sources)
# KIVERLO_WIN_SDK    for --check: the SDK to compare with (as for windows.sh)
# Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"
# shellcheck source=cleanroot-common.sh
source "$repo/scripts/cleanroot-common.sh"

mode=build
case "${1:-}" in
--check) mode=check ;;
"") ;;
*)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac

started=$SECONDS
recipe="$repo/scripts/windows-sdk"
work=$(mkdir -p "${KIVERLO_SDK_WORK:-$repo/build-sdk}" && cd "${KIVERLO_SDK_WORK:-$repo/build-sdk}" && pwd)
if [ -n "${KIVERLO_SDK_CACHE:-}" ]; then
    cache=$KIVERLO_SDK_CACHE
elif [ "$(id -u)" -eq 0 ]; then
    cache=/var/cache/kiverlo-sdk-sources
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/kiverlo-sdk-sources
fi
suites=${KIVERLO_SDK_SUITES:-bookworm trixie forky sid}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

die() {
    echo "FAIL: $*" >&2
    exit 1
}

STAGE_MARK=${STAGE_MARK:-====}
stage "Packages"
# The posix-thread compilers: the SDK's Qt and anything linked with it must
# share the thread model. flex and bison build avrdude's configuration
# parser; wine64 runs the check's avrdude.exe.
sdk_packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev build-essential cmake perl python3 flex bison xz-utils patch debian-archive-keyring)
[ "$mode" = build ] || sdk_packages+=(wine64)
install_missing "${sdk_packages[@]}"

# --- the pinned sources ------------------------------------------------------
# pin_package[i] pin_version[i] pin_sha256[i] pin_file[i], from the list.
pin_package=() pin_version=() pin_sha256=() pin_file=()
while read -r package version sha256 file rest; do
    case $package in '' | '#'*) continue ;; esac
    [ -n "$file" ] && [ -z "$rest" ] && [[ $sha256 =~ ^[0-9a-f]{64}$ ]] \
        || die "scripts/windows-sdk/sources: not '<package> <version> <SHA-256> <file>': $package $version $sha256 $file $rest"
    pin_package+=("$package") pin_version+=("$version") pin_sha256+=("$sha256") pin_file+=("$file")
done <"$recipe/sources"

# pinned <file name pattern>: the path of the downloaded file that matches.
pinned() {
    local i
    for i in "${!pin_file[@]}"; do
        # shellcheck disable=SC2053
        if [[ ${pin_file[i]} == $1 ]]; then
            echo "$cache/files/${pin_file[i]}"
            return 0
        fi
    done
    die "scripts/windows-sdk/sources pins no file like $1"
}

# A source that cannot be had stops a build at once. The check goes on with
# what it has, so that one missing file does not hide what else is wrong,
# and fails at its end; except for a file that the release still carries
# as pinned but that this mirror does not serve, which it names at its end.
missing=()
# Files the mirror's signed index lists with their pinned checksums, but
# which the mirror does not serve (see below).
unserved=()
declare -A verified=()
source_failed() {
    [ "$mode" = check ] || die "$@"
    echo "FAIL: $*" >&2
    missing+=("$1")
}
# available <file name pattern>...: whether each of these sources was
# downloaded and matched its pin; says so when one did not.
available() {
    local pattern path ok=0
    for pattern in "$@"; do
        path=$(pinned "$pattern")
        if [ -n "${verified[$path]:-}" ]; then
            continue
        elif [[ " ${unserved[*]} " == *" $(basename "$path") "* ]]; then
            echo "NOT UNPACKED: $(basename "$path"), which the mirror does not serve (above)" >&2
        else
            echo "FAIL: not tried: $(basename "$path") is missing (above)" >&2
        fi
        ok=1
    done
    return "$ok"
}

# --- the licence notes name the same sources -----------------------------------
stage "The licence notes name the pinned sources"
# Each pinned package with its version (the Debian revision aside, where the
# notes leave it out) must be in resources/windows-licenses.txt, and every
# Debian source package the notes name must be pinned here, at that version.
notes=$(tr -s ' \n' '  ' <"$repo/resources/windows-licenses.txt")
drift=0
for i in "${!pin_package[@]}"; do
    package=${pin_package[i]} version=${pin_version[i]}
    if [[ " $notes " != *" $package $version"[\ ,.\;\)]* && " $notes " != *" $package ${version%-*}"[\ ,.\;\)]* ]]; then
        echo "FAIL: resources/windows-licenses.txt does not name $package $version (or ${version%-*})" >&2
        drift=1
    fi
done
named=$(echo "$notes" | grep -oE "source package [a-z0-9.+-]+ [0-9][0-9A-Za-z.+~:-]*[0-9A-Za-z+~]" | cut -d' ' -f3,4 | sort -u)
while read -r package version; do
    [ -n "$package" ] || continue
    ok=0
    for i in "${!pin_package[@]}"; do
        if [ "${pin_package[i]}" = "$package" ] && { [ "${pin_version[i]}" = "$version" ] || [ "${pin_version[i]%-*}" = "$version" ]; }; then
            ok=1
        fi
    done
    if [ "$ok" -eq 0 ]; then
        echo "FAIL: resources/windows-licenses.txt names source package $package $version, which scripts/windows-sdk/sources does not pin" >&2
        drift=1
    fi
done <<<"$named"
[ "$drift" -eq 0 ] || die "the licence notes and the recipe name different sources"
echo "resources/windows-licenses.txt names the pinned sources: $(echo "$named" | tr '\n' ' ')"

stage "Sources (pinned in scripts/windows-sdk/sources)"
apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$cache/files"
[ -f "$keyring" ] || die "no Debian archive keyring at $keyring (Debian: debian-archive-keyring)"
: >"$apt_dir/sources.list.new"
for suite in $suites; do
    mirror=$(cleanroot_mirror "$suite") || exit 1
    echo "deb-src [signed-by=$keyring] $mirror $suite main" >>"$apt_dir/sources.list.new"
done
mv "$apt_dir/sources.list.new" "$apt_dir/sources.list"
sed 's/^/  /' "$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Dir::Etc::Preferences=/dev/null"
    -o "Dir::Etc::PreferencesParts=$apt_dir/sources.list.d" -o APT::Get::AllowUnauthenticated=false)
# A release the mirror no longer has (or does not yet) is left out with
# apt's warning; a pinned version that then is nowhere fails below.
apt-get "${apt_options[@]}" -q update >"$cache/update.log" 2>&1 || true
grep -E '^(W|E|Err):' "$cache/update.log" || true
# apt downloads as the unprivileged _apt user where it can: the folder is
# theirs while it downloads.
[ "$(id -u)" -ne 0 ] || ! id _apt >/dev/null 2>&1 || chown _apt "$cache/files"
for i in "${!pin_file[@]}"; do
    package=${pin_package[i]} version=${pin_version[i]} file=${pin_file[i]}
    # apt-get source fetches the whole source package; the one file comes
    # alone as "tar" (an .orig tarball) or as "diff" (the .debian one).
    case $file in
    *.debian.tar.*) part=--diff-only ;;
    *) part=--tar-only ;;
    esac
    # apt checks a file already there against the index and downloads it
    # again when it differs.
    if ! (cd "$cache/files" && apt-get "${apt_options[@]}" -q source --download-only "$part" "$package=$version") \
        >"$cache/source.log" 2>&1; then
        found=$(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -uV)
        if ! grep -qxF "$version" <<<"$found"; then
            found=$(echo $found)
            source_failed "$file: $package $version is in none of the releases searched ($suites) on the mirror;" \
                "they carry: ${found:-no version of $package}. Pin a version that one carries (scripts/windows-sdk/sources)" \
                "or search more releases (KIVERLO_SDK_SUITES)."
        else
            grep -E '^(E|W|Err):' "$cache/source.log" >&2 || tail -n 5 "$cache/source.log" >&2
            # What the signed index says of the file: its address, size and
            # checksum.
            listed=$(cd "$cache/files" && apt-get "${apt_options[@]}" -q source --print-uris "$part" "$package=$version" \
                2>/dev/null | awk -v f="$file" '$2 == f { print $4 }')
            if [ "$mode" = build ] && [ "$listed" = "SHA256:${pin_sha256[i]}" ]; then
                die "$file ($package $version): the mirror's signed index lists it with the pinned SHA-256, but the" \
                    "mirror does not serve it. Put the file (from another Debian mirror, or the upstream release" \
                    "it repacks) into $cache/files/ under that name; it is used when its SHA-256 is the pinned one."
            elif [ "$listed" = "SHA256:${pin_sha256[i]}" ]; then
                # The release still carries the pinned file, unchanged; this
                # mirror just does not hand it out. That is the mirror's gap,
                # not a change of the source: said plainly, at the end too.
                echo "NOT SERVED: $file ($package $version): the mirror's signed index lists it with the pinned" \
                    "SHA-256, but the mirror does not serve it" >&2
                unserved+=("$file")
            else
                source_failed "$file ($package $version) could not be downloaded from the mirror" \
                    "(its index lists ${listed:-no such file})"
            fi
        fi
        continue
    fi
    if [ ! -f "$cache/files/$file" ]; then
        source_failed "$file: $package $version holds no such file"
        continue
    fi
    actual=$(sha256sum "$cache/files/$file" | cut -d' ' -f1)
    if [ "$actual" != "${pin_sha256[i]}" ]; then
        source_failed "$file: SHA-256 $actual, pinned ${pin_sha256[i]} (scripts/windows-sdk/sources)"
        continue
    fi
    verified[$cache/files/$file]=1
    echo "ok:   $file ($package $version) $actual"
done

# --- the sources unpacked and patched ------------------------------------------
# apply <tree> <patch>: applies exactly, without fuzz; fails when it does not.
apply() {
    if ! patch -d "$1" -p1 --forward --fuzz=0 --no-backup-if-mismatch <"$2" >"$work/patch.log" 2>&1; then
        cat "$work/patch.log" >&2
        die "$(basename "$2") does not apply to $(basename "$1")"
    fi
    echo "ok:   $(basename "$2") applies to $(basename "$1")"
}
# unpack <tarball> <folder>: afresh, without the tarball's top folder.
unpack() {
    rm -rf "$2"
    mkdir -p "$2"
    tar -xf "$1" -C "$2" --strip-components=1
}

prepare_qtbase() {
    stage "qtbase: unpacked, Debian's CVE patches and ours applied"
    available 'qtbase-opensource-src_*.orig.tar.*' 'qtbase-opensource-src_*.debian.tar.*' || return 0
    unpack "$(pinned 'qtbase-opensource-src_*.orig.tar.*')" "$work/qtbase-src"
    rm -rf "$work/qtbase-debian"
    mkdir -p "$work/qtbase-debian"
    tar -xf "$(pinned 'qtbase-opensource-src_*.debian.tar.*')" -C "$work/qtbase-debian"
    # Of Debian's patches, its backports of upstream's security fixes, in
    # the order of its series.
    local cves p
    cves=$(grep -E '^CVE-' "$work/qtbase-debian/debian/patches/series" || true)
    [ -n "$cves" ] || die "Debian's qtbase patches hold no CVE-* patch"
    for p in $cves; do
        apply "$work/qtbase-src" "$work/qtbase-debian/debian/patches/$p"
    done
    for p in "$recipe"/patches/qtbase-*.patch; do
        apply "$work/qtbase-src" "$p"
    done
}

prepare_modules() {
    stage "qtserialport and qtimageformats: unpacked"
    # qmake generates a module's forwarding headers (syncqt) only in a git
    # checkout, which it tells by a .git folder; an empty one will do.
    if available 'qtserialport-opensource-src_*.orig.tar.*'; then
        unpack "$(pinned 'qtserialport-opensource-src_*.orig.tar.*')" "$work/qtserialport-src"
        mkdir -p "$work/qtserialport-src/.git"
        [ -f "$work/qtserialport-src/src/serialport/qserialport.h" ] || die "qtserialport's source holds no qserialport.h"
    fi
    if available 'qtimageformats-opensource-src_*.orig.tar.*'; then
        unpack "$(pinned 'qtimageformats-opensource-src_*.orig.tar.*')" "$work/qtimageformats-src"
        mkdir -p "$work/qtimageformats-src/.git"
        [ -d "$work/qtimageformats-src/src/plugins/imageformats/icns" ] || die "qtimageformats' source holds no icns plugin"
    fi
}

prepare_avrdude() {
    stage "avrdude: unpacked, our patches applied"
    unpack "$(pinned 'avrdude_*.orig.tar.*')" "$work/avrdude-src"
    local p
    for p in "$recipe"/patches/avrdude-*.patch; do
        apply "$work/avrdude-src" "$p"
    done
}

# build_avrdude <prefix>: avrdude.exe, linked statically, and its
# avrdude.conf, installed below <prefix>.
build_avrdude() {
    stage "avrdude: cross-built"
    rm -rf "$work/avrdude-build"
    cmake -S "$work/avrdude-src" -B "$work/avrdude-build" -DCMAKE_TOOLCHAIN_FILE="$recipe/mingw-posix-toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_INSTALL_PREFIX="$1" \
        >"$work/avrdude-configure.log" 2>&1 || { tail -n 30 "$work/avrdude-configure.log"; die "avrdude: cmake failed"; }
    cmake --build "$work/avrdude-build" -j "$jobs" >"$work/avrdude-make.log" 2>&1 \
        || { tail -n 30 "$work/avrdude-make.log"; die "avrdude: the build failed"; }
    cmake --install "$work/avrdude-build" >"$work/avrdude-install.log" 2>&1 \
        || { tail -n 30 "$work/avrdude-install.log"; die "avrdude: the installation failed"; }
    [ -f "$1/bin/avrdude.exe" ] && [ -f "$1/etc/avrdude.conf" ] || die "avrdude: no avrdude.exe and avrdude.conf in $1"
}

if [ "$mode" = check ]; then
    prepare_qtbase
    prepare_modules
    if available 'avrdude_*.orig.tar.*'; then
        prepare_avrdude
        build_avrdude "$work/avrdude"
        stage "A silent COM port under Wine: the recipe's avrdude.exe beside the SDK's"
        sdk_source=${KIVERLO_WIN_SDK:-$repo/../shared/windows-sdk}
        [ ! -d "$sdk_source" ] || sdk_source="$sdk_source/kiverlo-win64-sdk.tar.xz"
        [ -f "$sdk_source" ] || die "no Windows SDK at $sdk_source to compare with (KIVERLO_WIN_SDK)"
        rm -rf "$work/sdk"
        mkdir -p "$work/sdk"
        tar -xJf "$sdk_source" -C "$work/sdk" kiverlo-win64-sdk/avrdude
        bash "$recipe/silent-port-check.sh" "$work/silent-port" "$work/avrdude/bin/avrdude.exe" \
            "$work/sdk/kiverlo-win64-sdk/avrdude/bin/avrdude.exe" "$work/avrdude/etc/avrdude.conf"
    fi
    rm -rf "$work/qtbase-src" "$work/qtbase-debian" "$work/qtserialport-src" "$work/qtimageformats-src" "$work/sdk"
    stage ""
    echo "Windows SDK recipe check: $((SECONDS - started)) s"
    if ((${#unserved[@]})); then
        echo "NOT DOWNLOADED: the mirror lists these pinned files with their pinned checksums but does not serve them,"
        echo "so they were neither downloaded nor unpacked here, and a build of the SDK from this mirror stops at them:"
        printf '  %s\n' "${unserved[@]}"
        echo "To build, put each (from another Debian mirror, or the upstream release it repacks) into"
        echo "$cache/files/ under that name: it is used when its SHA-256 is the pinned one."
    fi
    if ((${#missing[@]})); then
        echo "FAIL: the recipe's sources are not all to be had:" >&2
        printf '  %s\n' "${missing[@]}" >&2
        exit 1
    fi
    exit 0
fi

# --- the whole SDK -----------------------------------------------------------
prefix="$work/kiverlo-win64-sdk"
out="$work/out"
rm -rf "$prefix" "$out"
mkdir -p "$prefix" "$out"
# qmake's cross prefix (CROSS_COMPILE) finds the compilers by their plain
# names: those names lead to the posix-thread ones.
mkdir -p "$work/wrap"
for t in gcc g++; do ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "$work/wrap/x86_64-w64-mingw32-$t"; done
for t in ar ranlib strip objcopy objdump nm windres ld dlltool; do
    ln -sf "/usr/bin/x86_64-w64-mingw32-$t" "$work/wrap/x86_64-w64-mingw32-$t"
done
export PATH="$work/wrap:$PATH"

prepare_qtbase
stage "qtbase: configured and built (the long part)"
rm -rf "$work/qtbase-build"
mkdir -p "$work/qtbase-build"
(
    cd "$work/qtbase-build"
    "$work/qtbase-src/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
        -prefix "$prefix/qt" -opensource -confirm-license -release -shared -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-openssl -no-sql-sqlite -no-sql-odbc -qt-zlib -qt-pcre -qt-libpng \
        -qt-libjpeg -qt-freetype -qt-harfbuzz -no-fontconfig -no-feature-sql -no-pch -silent \
        >"$work/qtbase-configure.log" 2>&1 || { tail -n 40 "$work/qtbase-configure.log"; die "qtbase: configure failed"; }
    make -j"$jobs" >"$work/qtbase-make.log" 2>&1 || { tail -n 40 "$work/qtbase-make.log"; die "qtbase: the build failed"; }
    make install >"$work/qtbase-install.log" 2>&1 || { tail -n 40 "$work/qtbase-install.log"; die "qtbase: make install failed"; }
)
qmake="$prefix/qt/bin/qmake"

prepare_modules
stage "qtserialport and the icns plugin: built"
rm -rf "$work/qtserialport-build" "$work/icns-build"
mkdir -p "$work/qtserialport-build" "$work/icns-build"
(
    cd "$work/qtserialport-build"
    "$qmake" "$work/qtserialport-src" >"$work/qtserialport-qmake.log" 2>&1 || die "qtserialport: qmake failed"
    make -j"$jobs" >"$work/qtserialport-make.log" 2>&1 || { tail -n 40 "$work/qtserialport-make.log"; die "qtserialport: the build failed"; }
    make install >"$work/qtserialport-install.log" 2>&1 || die "qtserialport: make install failed"
)
(
    # Of qtimageformats, only the icns plugin.
    cd "$work/icns-build"
    "$qmake" "$work/qtimageformats-src" >"$work/icns-qmake.log" 2>&1 || die "qtimageformats: qmake failed"
    make qmake_all >"$work/icns-qmake-all.log" 2>&1 || die "qtimageformats: make qmake_all failed"
    cd src/plugins/imageformats/icns
    make -j"$jobs" >"$work/icns-make.log" 2>&1 || { tail -n 40 "$work/icns-make.log"; die "icns: the build failed"; }
    make install >"$work/icns-install.log" 2>&1 || die "icns: make install failed"
)
[ -f "$prefix/qt/bin/Qt5SerialPort.dll" ] || die "no Qt5SerialPort.dll"
[ -f "$prefix/qt/plugins/imageformats/qicns.dll" ] || die "no qicns.dll"

prepare_avrdude
build_avrdude "$prefix/avrdude"

stage "The compiler's runtime, the toolchain file, the tarball"
mkdir -p "$prefix/mingw-runtime"
gccdir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
cp "$gccdir/libstdc++-6.dll" "$gccdir/libgcc_s_seh-1.dll" "$prefix/mingw-runtime/"
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$prefix/mingw-runtime/"
cp "$recipe/mingw-posix-toolchain.cmake" "$prefix/mingw-posix-toolchain.cmake"
# Only what building and running needs.
rm -rf "$prefix/qt/doc" "$prefix/avrdude/lib" "$prefix/avrdude/include" "$prefix/avrdude/share"
(cd "$work" && tar -cJf "$out/kiverlo-win64-sdk.tar.xz" --owner=0 --group=0 --sort=name kiverlo-win64-sdk)
ls -l "$out"
stage ""
echo "Windows SDK built: $((SECONDS - started)) s"
