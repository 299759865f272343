#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the tool with its tests and runs every
# test (the Windows build's under Wine, with a quick check of the recipe of
# its SDK); then checks the code: its format, cppcheck, the tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, short fuzzing runs and
# clang-tidy; proves the other Debian release in a fresh root
# (scripts/other-release-test.sh); and cross-builds the packages for a
# Raspberry Pi, which it installs and uploads with in emulated roots
# (scripts/deb.sh --arch, scripts/arm-test.sh). Exits non-zero when anything
# fails.
#
# scripts/test.sh --linux: only the first stage, the build with Qt 5 (the
# Windows release's Qt) and its tests, the simulated board and the
# accessibility bus included; the Debian package, built with Qt 6, has its
# own build with its tests in scripts/deb.sh. It is
# the one way to leave stages out; without it every stage runs, and one that
# cannot (a tool missing, a test that skipped itself) fails the run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

linux_only=
case "${1:-}" in
--linux) linux_only=1 ;;
"") ;;
*)
    echo "usage: $0 [--linux]" >&2
    exit 2
    ;;
esac

# Package names that Debian 12 and 13 both resolve: no names that carry one
# release's version where an unversioned one exists.
linux_test_packages=(
    "${run_packages[@]}"
    # build/ is built with Qt 5, the Windows release's Qt
    "${qt5_packages[@]}"
    # desktop and metadata validators
    desktop-file-utils appstream
    # the simulated board: the AVR simulator library, and the sources of its
    # bootloader with the compiler and C library that build it
    libsimavr-dev libelf-dev arduino-core-avr gcc-avr avr-libc
    # the window through the accessibility bus: a virtual display and a tool
    # that reads its root window, a D-Bus session, the AT-SPI bus and its
    # Python bindings
    xvfb x11-utils dbus at-spi2-core python3-pyatspi
)
test_packages=(
    "${linux_test_packages[@]}"
    # code checks: format, static analysis, libFuzzer (clang's runtime), and
    # git for the list of files under version control
    clang clang-format clang-tidy cppcheck libclang-rt-dev git
)
if [ -n "$linux_only" ]; then
    install_missing "${linux_test_packages[@]}"
else
    install_missing "${test_packages[@]}"
fi

export QT_QPA_PLATFORM=offscreen
stage "Build and tests"
# run_ctest <build dir> [ctest options...]: the tests of that build, each
# with settings folders emptied first, so nothing an earlier run left there
# is read.
run_ctest() {
    local dir=$1
    shift
    find "$dir/tests" -type d -name xdg-config -prune -exec rm -rf {} + 2>/dev/null || true
    run_tests "$dir" "$@"
}
configure_and_build "$repo/build" "${test_build_options[@]}"
run_ctest "$repo/build"
if [ -n "$linux_only" ]; then
    stage "Linux tests passed"
    exit 0
fi
# Inside the other release's root (scripts/other-release-test.sh) the other
# release is the one this machine runs: the stages that follow cannot run
# there, and the root runs scripts/test.sh --linux.
if [ -n "${KIVERLO_OTHER_RELEASE_ROOT:-}" ] || [ -e /etc/kiverlo-other-release-root ]; then
    echo "This is the other release's root, where only scripts/test.sh --linux can run." >&2
    exit 1
fi

# Stages that spend much of their time waiting (on a serial port nobody
# answers, on downloads, on emulated programs) run beside the others:
# beside <name> <command...> starts one, its output going to
# build-logs/<name>.log; joined <name> waits for it, shows that log and fails
# when the stage failed. A run that stops early still waits for every stage
# beside it to end, so that none is left running.
logs="$repo/build-logs"
rm -rf "$logs"
mkdir -p "$logs"
declare -A beside_pids=()
beside() {
    local name=$1
    shift
    echo "Started beside the next stages: $name (output in ${logs#"$repo"/}/$name.log)"
    ("$@") >"$logs/$name.log" 2>&1 </dev/null &
    beside_pids[$name]=$!
}
joined() {
    local name=$1 status=0
    wait "${beside_pids[$name]}" || status=$?
    unset "beside_pids[$name]"
    cat "$logs/$name.log"
    if [ "$status" -ne 0 ]; then
        echo "FAILED: $name (exit status $status)" >&2
        return "$status"
    fi
}
# The files that tell a stage beside the others that what it needs from the
# stages here is built ("built"), or that it will not be: the Raspberry Pi
# stage its packages, the other release's root the Windows package.
arm_packages="$logs/arm-packages"
windows_package="$logs/windows-package"
wait_beside() {
    local name file
    for file in "$arm_packages" "$windows_package"; do
        [ -s "$file" ] || echo "not built: the run stopped before" >"$file"
    done
    for name in "${!beside_pids[@]}"; do
        echo "Waiting for $name, which ran beside the stages above, to end (output in ${logs#"$repo"/}/$name.log)." >&2
        wait "${beside_pids[$name]}" || true
    done
}
trap wait_beside EXIT

# The emulated roots of the Raspberry Pi stage take minutes to make; they
# are made beside the next stages, and wait there for their packages (built
# below).
beside raspberry-pi env STAGE_MARK=-- bash "$repo/scripts/arm-test.sh" --packages-when "$arm_packages" arm64 armhf

beside windows-sdk-check env STAGE_MARK=-- bash "$repo/scripts/windows-sdk.sh" --check

# The Debian package is built with Qt 6 and runs the same tests but those of
# the simulated board (scripts/deb.sh); the Raspberry Pi stages upload to the
# board through its Qt 6 window.
stage "Debian package: build with its tests, lintian, a second build compared"
bash "$repo/scripts/deb.sh"

stage "Windows SDK: the recipe's sources, patches and avrdude.exe (scripts/windows-sdk.sh --check)"
joined windows-sdk-check

# The other release's root needs the Windows package only after its own
# builds and tests: it waits for it there.
beside other-release env STAGE_MARK=-- bash "$repo/scripts/other-release-test.sh" --windows-when "$windows_package"

stage "Windows: cross-build, tests under Wine, package"
bash "$repo/scripts/windows.sh"
echo built >"$windows_package"

stage "Windows: the same package from a second build"
# Some minutes after the first: time stamps of the build would show.
bash "$repo/scripts/windows.sh" --again

stage "Raspberry Pi, 64-bit: the arm64 package cross-built, its tests emulated"
bash "$repo/scripts/deb.sh" --arch arm64 --once

stage "Raspberry Pi, 32-bit: the armhf package cross-built, without its tests"
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck" bash "$repo/scripts/deb.sh" --arch armhf --once
echo built >"$arm_packages"

stage "Raspberry Pi: each package in an emulated root of this Debian release, an upload through its window (side by side; the roots made beside the stages since the Linux tests)"
joined raspberry-pi

stage "Benchmarks, quick mode (figures are not judged here)"
for bench in bench_upload bench_startup bench_console_stream; do
    "$repo/build/bench/$bench/$bench" --quick 2>&1 | grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints'
done

stage "Code format (clang-format, .clang-format)"
# Every C and C++ file under version control. The checkout may belong to
# another user than the one running this, which git accepts only when told.
git -c safe.directory="$repo" -C "$repo" ls-files -z -- '*.cpp' '*.h' '*.c' \
    | (cd "$repo" && xargs -0 --no-run-if-empty clang-format --dry-run -Werror)
echo "All files follow .clang-format."

stage "Static analysis (cppcheck)"
# Newer cppcheck (2.11 on, Debian 13) limits its analysis of branches unless
# told otherwise, and says so in a message that fails the check: the whole
# analysis, then, as older ones always do.
cppcheck_level=()
if cppcheck --help | grep -q -- '--check-level'; then
    cppcheck_level=(--check-level=exhaustive)
fi
(cd "$repo" && cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    "${cppcheck_level[@]}" --library=qt --std=c++17 --quiet -j "$jobs" -I upload -I window app window upload tests/fuzz)
echo "cppcheck found nothing."

stage "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build "$repo/build-asan" -DKIVERLO_QT_MAJOR=5 -DBUILD_TESTING=ON -DKIVERLO_SANITIZE=ON \
    -DKIVERLO_BENCHMARKS=OFF -DKIVERLO_REQUIRE_BOARD=OFF
# Any finding ends the process with an error. Full stacks on allocation let
# the suppressions (leaks of Qt's own, none of ours) match; child processes
# that are not instrumented (shell scripts, avrdude) ignore these variables.
# Tests that run no code of ours are left out: the installation check (only
# files and a start that is cut short), the desktop file validation and a
# file comparison; and the end-to-end uploads, which mostly wait on avrdude
# and take the same paths through the window as the fake programmers' tests.
(
    export ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:check_initialization_order=1:strict_init_order=1
    export LSAN_OPTIONS="suppressions=$repo/tests/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_ctest "$repo/build-asan" -E '^(resources\.(install|desktop_files|window_icon_in_build)|tst_e2e_upload)$'
)

stage "Fuzzing (libFuzzer, tests/fuzz)"
rm -f "$repo/build-fuzz/CMakeCache.txt"
CXX=clang++ cmake -S "$repo/tests/fuzz" -B "$repo/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
cmake --build "$repo/build-fuzz" -j "$jobs"
# Both targets run side by side from their committed seeds; what they find
# new goes to build-fuzz/corpus/, an input that breaks a property or crashes
# to build-fuzz/artifacts/. Both start empty each run, so that every run
# starts from the same seeds.
rm -rf "$repo/build-fuzz/corpus" "$repo/build-fuzz/artifacts"
fuzz_pids=()
trap 'kill "${fuzz_pids[@]}" 2>/dev/null || true; wait_beside' EXIT
for target in uploadcommand outputdecoder; do
    mkdir -p "$repo/build-fuzz/corpus/$target" "$repo/build-fuzz/artifacts"
    "$repo/build-fuzz/fuzz_$target" -max_total_time=20 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$repo/build-fuzz/artifacts/$target-" \
        "$repo/build-fuzz/corpus/$target" "$repo/tests/fuzz/corpus/$target" \
        >"$repo/build-fuzz/$target.log" 2>&1 &
    fuzz_pids+=($!)
done
fuzz_failed=0
for target in uploadcommand outputdecoder; do
    if wait "${fuzz_pids[0]}"; then
        echo "fuzz_$target: $(grep -E '^Done [0-9]+ runs' "$repo/build-fuzz/$target.log")"
    else
        tail -n 40 "$repo/build-fuzz/$target.log"
        echo "fuzz_$target FAILED (log: build-fuzz/$target.log)"
        fuzz_failed=1
    fi
    fuzz_pids=("${fuzz_pids[@]:1}")
done
trap wait_beside EXIT
[ "$fuzz_failed" -eq 0 ]

stage "Static analysis (clang-tidy, .clang-tidy)"
# tidy <build> <file>...: clang-tidy on the files, with that build's compile
# commands, one per core; without its count of warnings in others' headers.
tidy() {
    local build=$1
    shift
    printf '%s\0' "$@" | xargs -0 -n 1 -P "$jobs" clang-tidy -p "$build" --quiet 2>&1 \
        | { grep -vE '^[0-9]+ warnings? generated\.$' || true; }
}
tidy "$repo/build" "$repo"/app/*.cpp "$repo"/window/*.cpp "$repo"/upload/*.cpp "$repo"/tests/unit/*.cpp
tidy "$repo/build-fuzz" "$repo"/tests/fuzz/*.cpp
echo "clang-tidy found nothing."

stage "The other Debian release in a fresh root (beside the stages since the Debian package)"
joined other-release

stage "All stages passed"
