#!/usr/bin/env bash
# Regenerates the Windows icon, src/main/tastlink.ico, from the same SVG the
# Linux desktop uses: 16, 32 and 48 px as bitmaps for old Windows, 256 px as
# PNG. Run it after changing the SVG and commit the result.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages librsvg2-bin icoutils
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 256; do
  rsvg-convert -w "$size" -h "$size" -o "$tmp/$size.png" data/io.github.tastlink.Tastlink.svg
done
icotool -c -o src/main/tastlink.ico "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" -r "$tmp/256.png"
icotool -l src/main/tastlink.ico
