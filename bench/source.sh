#!/usr/bin/env bash
# Figures of the source connection on a 1,000,000-row table written by the Access file writer:
# mdb-export of the table to /dev/null, opening and reading it through the connection (target:
# at most twice mdb-export), the mean of 100,000 parameterised detail lookups (target: at most
# 20 us each), and the peak memory (target: at most 200 MB).
# Usage: bench/source.sh [BUILD_DIR] [ROWS]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
rows=${2:-1000000}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" --target source-bench velquor-fusion-stage -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build_dir/tests/source/source-bench" "$rows" "$work"
