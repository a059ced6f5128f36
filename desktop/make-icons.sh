#!/usr/bin/env bash
# Renders the PNG sizes of the icon from brel.svg (needs rsvg-convert, Debian librsvg2-bin).
# The PNGs are kept in the tree, so building needs neither this script nor the tool.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" brel.svg -o "brel-$size.png"
done
