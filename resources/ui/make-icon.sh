#!/usr/bin/env bash
# Redraws the application icon (resource 128): a download arrow over a tray on
# a blue tile, and the same drawing at 48 and 256 pixels for the desktop's
# icon theme (packaging/icons). Needs ImageMagick; the PNGs are committed, so
# the build does not.
set -euo pipefail
cd "$(dirname "$0")"
# the drawing in 128-pixel coordinates; other sizes scale it, so every size
# is drawn from the vectors instead of being resampled from another PNG
drawing="fill '#1d5fa8' stroke '#123c6b' stroke-width 3 roundrectangle 6,6 121,121 22,22
 fill '#ffffff' stroke none polygon 52,22 76,22 76,62 96,62 64,96 32,62 52,62
 roundrectangle 28,102 100,110 3,3
 fill '#f2b632' circle 100,28 100,18"
draw() { # size output
    local factor
    factor=$(awk -v s="$1" 'BEGIN { print s / 128 }')
    convert -size "$1x$1" xc:none -draw "scale $factor,$factor $drawing" "PNG32:$2"
}
draw 128 AppIcon128.png
for size in 48 256; do
    draw "$size" "../../packaging/icons/qordownloader-$size.png"
done
