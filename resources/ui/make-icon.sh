#!/usr/bin/env bash
# Redraws the application icon (resource 128): a download arrow over a tray on
# a blue tile. Needs ImageMagick; the PNG is committed, so the build does not.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 128x128 xc:none \
    -fill '#1d5fa8' -stroke '#123c6b' -strokewidth 3 -draw 'roundrectangle 6,6 121,121 22,22' \
    -fill '#ffffff' -stroke none -draw 'polygon 52,22 76,22 76,62 96,62 64,96 32,62 52,62' \
    -draw 'roundrectangle 28,102 100,110 3,3' \
    -fill '#f2b632' -draw 'circle 100,28 100,18' \
    PNG32:AppIcon128.png
