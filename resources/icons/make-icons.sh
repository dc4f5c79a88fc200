#!/usr/bin/env bash
# Renders pelmo-patcher.svg into the PNG sizes that are installed and embedded in the program.
# Run it after changing the SVG and commit the PNGs with it; the build does not need ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"

for size in 16 32 48 128 256; do
  # Draw large once and scale down, which keeps the small sizes smooth; -strip and the excluded
  # chunks drop timestamps so that an unchanged SVG gives byte-identical files.
  convert -background none -density 384 pelmo-patcher.svg -resize "${size}x${size}" -strip \
    -define png:exclude-chunks=date,time "PNG32:pelmo-patcher-${size}.png"
done
