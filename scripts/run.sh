#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the tool and starts it from its build
# folder, where the programmer and the window icon stand beside it. The
# folder, build-run/, is its own: the tests build elsewhere.
#
#   scripts/run.sh          built with Qt 6, as the Debian package is
#   scripts/run.sh --qt5    built with Qt 5, as the Windows release is (on
#                           Linux its window may not reach a screen reader:
#                           docs/accessibility.md)
# Anything after that goes to the tool.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

qt_major=6
packages=("${run_packages[@]}")
if [ "${1:-}" = --qt5 ]; then
    shift
    qt_major=5
    packages=(build-essential cmake "${qt5_packages[@]}" avrdude)
fi
install_missing "${packages[@]}"
configure_and_build "$repo/build-run" -DKIVERLO_QT_MAJOR="$qt_major" -DBUILD_TESTING=OFF -DKIVERLO_BENCHMARKS=OFF \
    -DKIVERLO_SANITIZE=OFF
cd "$repo/build-run/app"
exec ./Kiverlo "$@"
