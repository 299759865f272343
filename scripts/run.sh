#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the tool and starts it from its build
# folder, where the programmer and the window icon stand beside it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

install_missing "${run_packages[@]}"
configure_and_build "$repo/build" -DBUILD_TESTING=OFF -DKIVERLO_BENCHMARKS=OFF
cd "$repo/build/app"
exec ./Kiverlo "$@"
