#!/usr/bin/env bash
# Builds the Debian package velquor-fusion_<version>_amd64.deb with CPack.
#   scripts/package.sh [BUILD_DIR [OUT_DIR]]
# BUILD_DIR (default build) is configured when it is new, then built; the package lands in
# OUT_DIR (default: the repository's folder). Install it with: sudo apt install ./velquor-fusion_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
out=${2:-$PWD}
if [ -f "$dir/CMakeCache.txt" ]; then
  cmake --build "$dir" -j"$(nproc)"
else
  ./scripts/build.sh "$dir"
fi
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cpack --config "$dir/CPackConfig.cmake" -G DEB -B "$staging" >/dev/null
mkdir -p "$out"
for deb in "$staging"/*.deb; do
  mv "$deb" "$out/"
  echo "$out/$(basename "$deb")"
done
