#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
./scripts/build.sh build
cd build
ctest --output-on-failure -j2

# The source connection's and the staging reader's tests again under AddressSanitizer and UndefinedBehaviorSanitizer
# (damaged Access files must never crash the program), and each fuzz target replayed on its corpus
# and regression inputs (scripts/fuzz.sh does the fuzzing itself); only what they need is built.
cd ..
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVF_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)" --target tst_source_connection tst_source_writer tst_source_export tst_page_reader \
  fuzz_access_pages-replay fuzz_staging_stream-replay fuzz_ini-replay fuzz_json_input-replay fuzz_stage_process-replay
ctest --test-dir build-asan -L 'source|stage|fuzz' --output-on-failure
