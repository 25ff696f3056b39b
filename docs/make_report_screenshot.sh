#!/usr/bin/env bash
# Makes docs/report.png, the README's picture of `quotelab report`: the demo day rebuilt,
# checked against its own snapshots and drawn by headless Chromium.
#   docs/make_report_screenshot.sh [BUILD_DIR]    (default build/release, quotelab built there)
# Needs chromium; python3-pil, when present, shrinks the picture to a 64-colour palette.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
quotelab="$repo/${1:-build/release}/bin/quotelab"
[ -x "$quotelab" ] || { echo "no $quotelab: build quotelab_cli first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$quotelab" demo --root . --quiet >/dev/null
"$quotelab" report --quiet --orders 20240102/orders.dat --trades 20240102/trades.dat \
  --snapshots 20240102/tick.csv --out report.html
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --hide-scrollbars --user-data-dir="$work/profile" --window-size=1280,1400 \
  --screenshot="$work/report.png" "file://$work/report.html" 2>/dev/null
if /usr/bin/python3 -c 'import PIL' 2>/dev/null; then
  /usr/bin/python3 -c 'import sys; from PIL import Image
Image.open(sys.argv[1]).convert("RGB").quantize(64).save(sys.argv[2], optimize=True)' \
    report.png "$repo/docs/report.png"
else
  cp report.png "$repo/docs/report.png"
fi
echo "docs/report.png: $(stat -c %s "$repo/docs/report.png") bytes"
