#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
#
# Regenerates every icon file in resources/ from resources/kiverlo.svg:
#   resources/my_app.icns          window icon (16, 32, 48, 128, 256 px)
#   resources/kiverlo.ico          Windows executable icon (16, 24, 32, 48, 256 px, 32 bpp)
#   resources/icons/hicolor/...    PNGs for the freedesktop icon theme, plus the SVG
#
# The generated files are kept in the tree, so a build never needs this script;
# run it after changing the drawing. Missing tools are installed with apt-get.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
res="$here/../resources"
res="$(cd "$res" && pwd)"
svg="$res/kiverlo.svg"

# --- tools -----------------------------------------------------------------
need=()
command -v rsvg-convert >/dev/null || need+=(librsvg2-bin)
command -v png2icns >/dev/null || need+=(icnsutils)
command -v icotool >/dev/null || need+=(icoutils)
if ((${#need[@]})); then
    echo "make-icons: installing ${need[*]}"
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${need[@]}"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

render() { # render <size> <out.png>
    rsvg-convert --width "$1" --height "$1" --format png "$svg" -o "$2"
}

# --- hicolor theme ------------------------------------------------------------
theme="$res/icons/hicolor"
rm -rf "$theme"
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$theme/${size}x${size}/apps"
    render "$size" "$theme/${size}x${size}/apps/kiverlo.png"
done
mkdir -p "$theme/scalable/apps"
cp "$svg" "$theme/scalable/apps/kiverlo.svg"

for size in 16 24 32 48 128 256; do
    render "$size" "$work/$size.png"
done

# --- Apple icon file ------------------------------------------------------------
# png2icns writes the classic run-length types for 16 to 128 px, which every
# reader understands. For 256 px it would write raw ARGB data into 'ic08',
# where readers (Qt's icns plugin among them) expect PNG or JPEG 2000, so that
# entry is appended here as PNG.
be32() { # big-endian 32-bit number, as raw bytes
    printf '%b' "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' \
        $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"
}
png2icns "$work/classic.icns" "$work/16.png" "$work/32.png" "$work/48.png" "$work/128.png" >/dev/null
head -c 4 "$work/classic.icns" | grep -q '^icns$' || { echo "make-icons: png2icns wrote no icns file" >&2; exit 1; }
{
    tail -c +9 "$work/classic.icns"
    printf 'ic08'
    be32 $(($(stat -c %s "$work/256.png") + 8))
    cat "$work/256.png"
} >"$work/body"
{
    printf 'icns'
    be32 $(($(stat -c %s "$work/body") + 8))
    cat "$work/body"
} >"$res/my_app.icns"

# --- Windows icon file ------------------------------------------------------------
# Four bitmaps at 32 bits per pixel and the 256 px one stored as PNG, the way
# Windows expects large icons.
icotool --create --bit-depth=32 --output="$res/kiverlo.ico" \
    "$work/16.png" "$work/24.png" "$work/32.png" "$work/48.png" --raw="$work/256.png"

echo "make-icons: wrote my_app.icns, kiverlo.ico and icons/hicolor in $res"
icotool --list "$res/kiverlo.ico"
