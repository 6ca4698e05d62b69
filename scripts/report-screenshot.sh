#!/usr/bin/env bash
# Draws docs/verification.png: the first printed page of the HTML report of a verification after
# the demo migration, printed to PDF by headless Chromium (Debian's "chromium") and drawn by
# pdftoppm (Debian's "poppler-utils"). Run ./scripts/demo.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
practice=$root/demo/practice
status=0
"$root/build/src/app/velquor-fusion" --verify --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
  --dest "$practice/Base/" --report "$root/demo/verification.html" || status=$?
[ "$status" -le 1 ] || exit "$status"
# --no-sandbox: Chromium's sandbox refuses to start as root, which a fresh machine often is.
chromium --headless --no-sandbox --disable-gpu --no-pdf-header-footer \
  --print-to-pdf="$root/demo/verification.pdf" "file://$root/demo/verification.html"
pdftoppm -png -r 90 -f 1 -l 1 -singlefile "$root/demo/verification.pdf" "$root/docs/verification"
