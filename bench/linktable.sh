#!/usr/bin/env bash
# Link tables: 100,000 recorded pairs (each committed) and 1,000,000 lookups, timed beside the
# same operations on a bare SQLite table through the SQLite C API (same WAL and sync settings).
# Usage: bench/linktable.sh [build folder] [pairs] [lookups]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target vf_linktable_bench -j2 >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/tools/linktablebench/vf_linktable_bench" "$work" "${2:-100000}" "${3:-1000000}"
