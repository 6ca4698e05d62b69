#!/usr/bin/env bash
# Batched writes: whole-run times of make-practice practices of 2,000 and 6,000 patients into
# PostgreSQL (a throwaway cluster with its default durability, fsync on) and into SQLite through
# the SQLite3 ODBC driver with its default settings (no WAL, a synced commit per transaction),
# next to the floor B measured in the same run: bare prepared single-row INSERTs, each committed
# by itself, through the same driver, for as many rows as the run wrote. Also the run's peak
# memory. Targets: each 2,000-patient run at most 0.25 x B; 6,000 patients at most 3.3 x the
# 2,000-patient time; peak RSS under 300 MB.
# Usage: bench/batched.sh [PATIENTS...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

sizes=("${@:-2000 6000}")
sizes=(${sizes[*]})
tables=(MEDECINS MEDTRAIT PATIENTS PATMEDTR ANTECED MOTCONSU ORDONNANCES LETTERS)

bench_workdir
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice vf_insert_floor >/dev/null
program_folder build "$work/prog"
pg_start

# A run, timed with its peak memory: run_timed PROGRAM_FOLDER PRACTICE -> "seconds peak_kB"
run_timed() {
  /usr/bin/time -f '%e %M' -o "$work/time" "$1/velquor-fusion" --batch --source "$2/V3.mdb" \
    --letters "$2/COURRIER/" --dest "$2/Base/" >/dev/null 2>&1 || true
  cat "$work/time"
}

printf '%-9s %-11s %9s %9s %9s %7s %9s\n' patients destination rows "run s" "B s" "run/B" "peak MB"
for patients in "${sizes[@]}"; do
  practice=$work/practice-$patients
  make_practice build "$practice" "$patients"
  for destination in postgresql sqlite; do
    rm -rf "$work/prog/LinksTables" "$work/prog"/Velquor_*.log "$practice/Base/LETTERS"
    if [ "$destination" = postgresql ]; then
      database=r_$patients
      pg_destination "$database"
      printf '[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=%s\r\n' "$pg_port" > "$work/prog/velquor-fusion.INI"
      printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$database" "$pg_socket" \
        > "$practice/Base/Kestrune.ver"
      read -r seconds peak < <(run_timed "$work/prog" "$practice")
      rows=0
      for table in "${tables[@]}"; do
        rows=$((rows + $(pg_sql "$database" "SELECT count(*) FROM $table")))
      done
      pg_sql postgres "CREATE DATABASE f_$patients OWNER sa" >/dev/null
      floor=$(build/tools/insertfloor/vf_insert_floor \
        "DRIVER={PostgreSQL Unicode};SERVER=$pg_socket;DATABASE=f_$patients;UID=sa;PWD=murvex;Port=$pg_port" "$rows")
    else
      database=$work/r_$patients.sqlite
      sqlite3 "$database" < schema/sqlite.sql
      printf '[Destination]\r\nDriver=SQLite3\r\n' > "$work/prog/velquor-fusion.INI"
      printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=localhost\r\nUserName=sa\r\nSAPW=\r\n' "$database" \
        > "$practice/Base/Kestrune.ver"
      read -r seconds peak < <(run_timed "$work/prog" "$practice")
      rows=0
      for table in "${tables[@]}"; do
        rows=$((rows + $(sqlite3 "$database" "SELECT count(*) FROM $table")))
      done
      floor=$(build/tools/insertfloor/vf_insert_floor "DRIVER={SQLite3};DATABASE=$work/f_$patients.sqlite" "$rows")
    fi
    printf '%-9s %-11s %9d %9.1f %9.1f %7.2f %9.0f\n' "$patients" "$destination" "$rows" "$seconds" "$floor" \
      "$(bc -l <<< "$seconds / $floor")" "$(bc -l <<< "$peak / 1024")" | tee -a "$work/results"
  done
done

if [ "${#sizes[@]}" -ge 2 ]; then
  printf '\nRun time at %s patients against %s (target: at most 3.3)\n' "${sizes[-1]}" "${sizes[0]}"
  for destination in postgresql sqlite; do
    small=$(awk -v p="${sizes[0]}" -v d="$destination" '$1 == p && $2 == d { print $4 }' "$work/results")
    large=$(awk -v p="${sizes[-1]}" -v d="$destination" '$1 == p && $2 == d { print $4 }' "$work/results")
    printf '%-11s %.2f\n' "$destination" "$(bc -l <<< "$large / $small")"
  done
fi
