#!/usr/bin/env bash
# The cost of checking the link tables against the destination and the source before a run: on a
# make-practice practice (10,000 patients by default) imported into PostgreSQL (a throwaway
# cluster), a second run, which has nothing new to import, timed from its start to its first
# report line (the preparation, the check included) and in all; the destination statements of the
# check (the sample of paired patients, read in one statement, and the sample of each other link
# table's pairs, one statement each) with their server time; and the
# floor E measured in the same run: the source's patients read alone through the program's own
# reader (--export "GLB PATIENT"), the one source pass that the check adds.
# Usage: bench/binding.sh [PATIENTS...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

sizes=("${@:-10000}")
sizes=(${sizes[*]})

bench_workdir
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice >/dev/null
program_folder build "$work/prog"
pg_start

printf '%-9s %8s %9s %9s %8s %12s %10s\n' patients "run s" "prepare s" "second s" "E s" "check calls" "check ms"
for patients in "${sizes[@]}"; do
  practice=$work/practice-$patients
  make_practice build "$practice" "$patients"
  database=b_$patients
  pg_destination "$database"
  start=$EPOCHREALTIME
  run_postgres "$work/prog" "$practice" "$database" "$work/first.out"
  run=$(bc -l <<< "$EPOCHREALTIME - $start")

  pg_reset_statements
  stamped "$work/prog/velquor-fusion" --batch --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
    --dest "$practice/Base/" > "$work/second.out"
  prepare=$(awk -F '\t' 'NR == 1 { s = $1 } NR == 2 { printf "%.2f", $1 - s; exit }' "$work/second.out")
  second=$(awk -F '\t' 'NR == 1 { s = $1 } { e = $1 } END { printf "%.2f", e - s }' "$work/second.out")
  read -r calls ms < <(pg_sql postgres "SELECT coalesce(sum(calls), 0), round(coalesce(sum(total_exec_time), 0)::numeric, 1)
    FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid
    WHERE d.datname = '$database' AND (s.query LIKE 'SELECT PATIENTS_ID, NOM, PRENOM, NE_LE FROM PATIENTS%'
      OR s.query ~ '^SELECT [A-Z_]+ FROM [A-Z_]+ WHERE [A-Z_]+ IN [(]')" | tr '|' ' ')

  start=$EPOCHREALTIME
  "$work/prog/velquor-fusion" --export "$practice/V3.mdb" "GLB PATIENT" >/dev/null
  floor=$(bc -l <<< "$EPOCHREALTIME - $start")

  printf '%-9s %8.1f %9s %9s %8.2f %12s %10s\n' "$patients" "$run" "$prepare" "$second" "$floor" "$calls" "$ms"
  echo "          second run: $(awk -F '\t' 'NR == 2 { print $2 }' "$work/second.out") ... $(tail -n 1 "$work/second.out" | cut -f 2)"
done
