#!/usr/bin/env bash
# The record pipeline, before and after: make-practice practices of 2,000 and 6,000 patients
# imported into PostgreSQL (a throwaway cluster, default settings). For each version: the
# statements sent to the destination per source record, and the time of each phase with its time
# per record. "After" writes into a schema without secondary indexes; "before", built from git in
# a worktree (by default the commit before the record pipeline), into the reference schema with
# its two indexes, as without them it runs for hours at 6,000 patients (BEFORE_NO_INDEXES=1 to
# see it). Target: no phase of 1,000 records or more takes more than 10 % longer per record at
# 6,000 patients than at 2,000.
# Usage: bench/pipeline.sh [BEFORE_REVISION [PATIENTS...]]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

before=${1:-$(git log --format=%H -1 --grep='^One outline for every record phase')^}
shift || true
sizes=("${@:-2000 6000}")
sizes=(${sizes[*]})

bench_workdir
echo "== Building this tree and $(git log --format='%h %s' -1 "$before" | cut -c1-70)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice >/dev/null
git worktree add -q --detach "$work/before-src" "$before"
trap 'git worktree remove --force "$work/before-src" 2>/dev/null; bench_cleanup' EXIT
cmake -S "$work/before-src" -B "$work/before-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$(command -v ccache || true)" >/dev/null
cmake --build "$work/before-build" -j2 --target velquor-fusion velquor-fusion-stage >/dev/null
program_folder "$work/before-build" "$work/prog-before"
program_folder build "$work/prog-after"

pg_start
printf '\n%-9s %-7s %-15s %9s %9s %11s\n' patients version phase records seconds "ms/record"
for patients in "${sizes[@]}"; do
  practice=$work/practice-$patients
  make_practice build "$practice" "$patients"
  phase_records "$practice" > "$work/records-$patients"
  total_records=$(awk '{ n += $2 } END { print n }' "$work/records-$patients")
  for version in before after; do
    database=d_${version}_$patients
    if [ "$version" = after ]; then NO_INDEXES=1; else NO_INDEXES=${BEFORE_NO_INDEXES:-0}; fi
    pg_destination "$database"
    pg_reset_statements
    run_postgres "$work/prog-$version" "$practice" "$database" "$work/out-$version-$patients"
    statements=$(pg_statements "$database")
    phase_times "$work/out-$version-$patients" > "$work/times-$version-$patients"
    join <(sort "$work/records-$patients") <(sort "$work/times-$version-$patients") |
      awk -v p="$patients" -v v="$version" '{ printf "%-9s %-7s %-15s %9d %9.2f %11.3f\n", p, v, $1, $2, $3, 1000 * $3 / ($2 ? $2 : 1) }' |
      sort -k3,3 | tee "$work/per-record-$version-$patients"
    printf '%-9s %-7s %-15s %9d %9s   %.2f statements per source record (%d statements), run %s s\n' \
      "$patients" "$version" all "$total_records" "" "$(bc -l <<< "$statements / $total_records")" "$statements" \
      "$(awk '$1 == "run" { print $2 }' "$work/times-$version-$patients")"
  done
done

if [ "${#sizes[@]}" -ge 2 ]; then
  small=${sizes[0]} large=${sizes[-1]}
  printf '\nTime per record at %s patients against %s (target: at most 1.10 for a phase of 1,000 records or more)\n' "$large" "$small"
  printf '%-15s %8s %8s\n' phase before after
  for phase in users correspondents patients history consultations prescriptions synthesis letters; do
    ratio() {
      local a b
      a=$(awk -v f="$phase" '$3 == f { print $6 }' "$work/per-record-$1-$small")
      b=$(awk -v f="$phase" '$3 == f { print $6 }' "$work/per-record-$1-$large")
      bc -l <<< "scale=2; $b / $a" 2>/dev/null || echo "-"
    }
    records=$(awk -v f="$phase" '$1 == f { print $2 }' "$work/records-$small")
    printf '%-15s %8s %8s%s\n' "$phase" "$(ratio before)" "$(ratio after)" \
      "$([ "$records" -lt 1000 ] && echo "   (fewer than 1,000 records at $small patients)")"
  done
fi
