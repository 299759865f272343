#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds and runs every benchmark, printing their figures. With --quick each
# runs once on small sizes (as the test script does, so they cannot rot).
# Usage: scripts/bench.sh [--quick]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

install_missing "${run_packages[@]}" "${qt5_packages[@]}" libsimavr-dev libelf-dev arduino-core-avr gcc-avr avr-libc
configure_and_build "$repo/build" "${test_build_options[@]}"

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
for bench in bench_upload bench_startup bench_console_stream; do
    echo
    "$repo/build/bench/$bench/$bench" "$@" 2>&1 | grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints'
done
