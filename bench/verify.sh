#!/usr/bin/env bash
# The cost of --verify: on make-practice practices of 2,000 and 6,000 patients imported into
# PostgreSQL (a throwaway cluster), the whole run's time next to the verification's, before the
# run (the pre-flight answer) and after it, with the statements the verification sent to the
# destination (one per destination table) and its peak memory. The floor E, measured in the same
# run, is the source read alone: each source table that the verification reads, exported through
# the program's own reader (--export), one after the other.
# Usage: bench/verify.sh [PATIENTS...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

sizes=("${@:-2000 6000}")
sizes=(${sizes[*]})
source_tables=("GLB MEDECIN" "ADR CARNET ADRESSE" "GLB PATIENT" "ANT ANTECEDENT PATIENT" "ANT ANTECEDENT"
               "ANT COMMENTAIRE ANTECEDENT PATIENT" "CON CONSULTATION" "ORD ORDONNANCE" "SYN FICHE SYNTHESE"
               "COU COURRIER GENERE")

bench_workdir
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice >/dev/null
program_folder build "$work/prog"
pg_start

# A verification, timed with its peak memory: verify_timed PRACTICE -> "seconds peak_kB exit"
verify_timed() {
  local status=0
  /usr/bin/time -f '%e %M' -o "$work/time" "$work/prog/velquor-fusion" --verify --source "$1/V3.mdb" \
    --letters "$1/COURRIER/" --dest "$1/Base/" --report "$work/report.html" >/dev/null 2>&1 || status=$?
  echo "$(tail -n 1 "$work/time") $status" # after the line that says a status other than 0
}

printf '%-9s %8s %8s %10s %9s %9s %8s %9s %10s\n' patients "run s" "E s" "before s" "after s" "after/run" \
  "after/E" "peak MB" statements
for patients in "${sizes[@]}"; do
  practice=$work/practice-$patients
  make_practice build "$practice" "$patients"
  database=v_$patients
  pg_destination "$database"
  rm -rf "$work/prog/LinksTables"
  printf '[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=%s\r\n' "$pg_port" > "$work/prog/velquor-fusion.INI"
  printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$database" "$pg_socket" \
    > "$practice/Base/Kestrune.ver"

  read -r before _ before_status < <(verify_timed "$practice")
  start=$EPOCHREALTIME
  "$work/prog/velquor-fusion" --batch --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
    --dest "$practice/Base/" >/dev/null 2>&1 || true
  run=$(bc -l <<< "$EPOCHREALTIME - $start")
  pg_reset_statements
  read -r after peak after_status < <(verify_timed "$practice")
  statements=$(pg_statements "$database")

  start=$EPOCHREALTIME
  for table in "${source_tables[@]}"; do
    "$work/prog/velquor-fusion" --export "$practice/V3.mdb" "$table" >/dev/null
  done
  floor=$(bc -l <<< "$EPOCHREALTIME - $start")

  printf '%-9s %8.1f %8.1f %10.1f %9.1f %9.3f %8.2f %9.0f %10s\n' "$patients" "$run" "$floor" "$before" "$after" \
    "$(bc -l <<< "$after / $run")" "$(bc -l <<< "$after / $floor")" "$(bc -l <<< "$peak / 1024")" "$statements"
  echo "          exit status before the run $before_status, after it $after_status"
done
