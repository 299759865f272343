#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the tool and starts it from its build
# folder, where the programmer and the window icon stand beside it. The
# folder, build-run/, is its own: the tests build elsewhere.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

install_missing "${run_packages[@]}"
configure_and_build "$repo/build-run" -DKIVERLO_QT_MAJOR=5 -DBUILD_TESTING=OFF -DKIVERLO_BENCHMARKS=OFF \
    -DKIVERLO_SANITIZE=OFF
cd "$repo/build-run/app"
exec ./Kiverlo "$@"
