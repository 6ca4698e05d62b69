#!/usr/bin/env bash
# Fuzzes the readers of what the program does not control, with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the staging reader's page checks and row encoding, the program's
# decoder of the reader's stream, the INI reader, the Access file writer's JSON input, and the real
# reader process on whole files. Each target runs SECONDS (default 60), one after the other, from
# its corpus and regression inputs (tests/fuzz) and seeds made here. Exits non-zero on a crash, a
# leak or a hang, after printing the path of the input that found it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds="${1:-60}"
./scripts/setup-debian.sh

missing=()
for p in clang libfuzzer-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi

build=$root/build-fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVF_FUZZ=ON "${launcher[@]}" >/dev/null
targets=(access_pages staging_stream ini json_input stage_process)
cmake --build "$build" -j"$(nproc)" --target mdb-write velquor-fusion-stage "${targets[@]/#/fuzz_}"

# Working corpora: the repository's inputs, and Access files made by the writer from the JSON
# corpus, with the real fixture, for the targets that read Access files.
work=$build/fuzz
rm -rf "$work"
mkdir -p "$work/seeds"
cp tests/source/data/nwind.mdb "$work/seeds/"
for json in tests/fuzz/corpus/json_input/*; do
  "$build/tools/mdbwriter/mdb-write" "$json" "$work/seeds/$(basename "$json").mdb" 2>/dev/null || true
done

options() {
  case $1 in
    access_pages|staging_stream) echo "-max_len=65536 -timeout=30" ;;
    ini) echo "-max_len=4096 -timeout=30" ;;
    json_input) echo "-max_len=16384 -timeout=30" ;;
    stage_process) echo "-max_len=262144 -timeout=120" ;;
  esac
}

status=0
for target in "${targets[@]}"; do
  corpus=$work/corpus/$target
  artifacts=$work/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  for folder in tests/fuzz/corpus/$target tests/fuzz/regressions/$target; do
    [ -d "$folder" ] && cp "$folder"/* "$corpus/" 2>/dev/null || true
  done
  case $target in access_pages|stage_process) cp "$work/seeds/"*.mdb "$corpus/" ;; esac
  echo "== $target: $seconds s"
  # shellcheck disable=SC2046
  if ! "$build/tests/fuzz/fuzz_$target" $(options "$target") -rss_limit_mb=4096 \
      -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
      >"$work/$target.log" 2>&1; then
    status=1
    tail -n 40 "$work/$target.log"
    for input in "$artifacts"/*; do
      [ -e "$input" ] && echo "FAULT: $target: $input"
    done
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$work/$target.log" | tail -n 2 || true
done
exit $status
