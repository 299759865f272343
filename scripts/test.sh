#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the tool with its tests and runs every
# test. Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup-common.sh"

test_packages=(
    "${run_packages[@]}"
    # windows resource compiler, desktop and metadata validators
    binutils-mingw-w64-x86-64 desktop-file-utils appstream
)
install_missing "${test_packages[@]}"

export QT_QPA_PLATFORM=offscreen
configure_and_build "$repo/build" -DBUILD_TESTING=ON
(cd "$repo/build" && ctest --output-on-failure -j "$jobs")
