#!/usr/bin/env bash
# Renders the program icon's PNG sizes from hvl.svg. The PNGs are committed
# next to the SVG, so building needs no SVG renderer; run this after editing
# the SVG (needs rsvg-convert from librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
# 96 and 128: the window and about box at a scale of 2 (built in only).
for size in 16 32 48 64 96 128; do
  rsvg-convert --width "$size" --height "$size" hvl.svg --output "hvl-$size.png"
done
