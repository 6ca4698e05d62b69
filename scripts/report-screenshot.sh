#!/usr/bin/env bash
# Draws docs/verification.png: the HTML report of a verification after the demo migration, taken
# with headless Chromium (Debian's "chromium"). Run ./scripts/demo.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
practice=$root/demo/practice
status=0
"$root/build/src/app/velquor-fusion" --verify --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
  --dest "$practice/Base/" --report "$root/demo/verification.html" || status=$?
[ "$status" -le 1 ] || exit "$status"
# --no-sandbox: Chromium's sandbox refuses to start as root, which a fresh machine often is.
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1100,1000 \
  --screenshot="$root/docs/verification.png" "file://$root/demo/verification.html"
