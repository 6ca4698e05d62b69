#!/usr/bin/env bash
# Installs what is needed, builds, and opens the window.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
./scripts/build.sh build
exec ./build/src/app/velquor-fusion
