#!/usr/bin/env bash
# What a catch-up run costs: on a make-practice practice (10,000 patients by default) imported into
# PostgreSQL (a throwaway cluster), in one script run, side by side: the first run; a catch-up run
# with nothing changed in the source; the practice written again with 1 % of its records edited
# (make-practice --edits 10, its unchanged letters left as they were) and a catch-up run that
# carries them. Each run's time and peak memory (maximum resident set size, GNU time), and the
# catch-up runs' times as a ratio of the first run's (targets: at most 0.5 and 0.6; memory under
# 300 MB).
# Usage: bench/catchup.sh [PATIENTS]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

patients=${1:-10000}
bench_workdir
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice >/dev/null
program_folder build "$work/prog"
pg_start

practice=$work/practice
make_practice build "$practice" "$patients"
pg_destination catchup

# A run of the program in its folder, into the destination: timed run NAME
timed_run() {
  stamped /usr/bin/time -f '%e %M' -o "$work/$1.time" "$work/prog/velquor-fusion" --batch --source "$practice/V3.mdb" \
    --letters "$practice/COURRIER/" --dest "$practice/Base/" > "$work/$1.out"
  read -r seconds kb < "$work/$1.time"
  printf '%s %s\n' "$seconds" "$((kb / 1024))"
}

rm -rf "$work/prog/LinksTables"
printf '[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=%s\r\n' "$pg_port" > "$work/prog/velquor-fusion.INI"
printf '[DBKERNEL]\r\nDatabaseName=catchup\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$pg_socket" \
  > "$practice/Base/Kestrune.ver"
read -r first first_mb < <(timed_run first)
read -r same same_mb < <(timed_run same)
"build/tools/make-practice/make-practice" --out "$practice" --patients "$patients" --seed 1 --edits 10 >/dev/null
printf '[DBKERNEL]\r\nDatabaseName=catchup\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$pg_socket" \
  > "$practice/Base/Kestrune.ver"
read -r edited edited_mb < <(timed_run edited)

printf '%-34s %9s %7s %9s\n' run seconds ratio "peak MB"
printf '%-34s %9.2f %7s %9s\n' "first run ($patients patients)" "$first" "1.00" "$first_mb"
printf '%-34s %9.2f %7.2f %9s\n' "catch-up, nothing changed" "$same" "$(bc -l <<< "$same / $first")" "$same_mb"
printf '%-34s %9.2f %7.2f %9s\n' "catch-up, 1 % of records changed" "$edited" "$(bc -l <<< "$edited / $first")" "$edited_mb"
echo "seconds by phase (first, nothing changed, 1 % changed; users includes the checks before it, run the summary):"
paste <(phase_times "$work/first.out") <(phase_times "$work/same.out" | cut -d ' ' -f 2) \
  <(phase_times "$work/edited.out" | cut -d ' ' -f 2) | awk '{ printf "  %-15s %7s %7s %7s\n", $1, $2, $3, $4 }'
echo "the 1 % run: $(grep -c 'mis à jour par cette importation' "$work/edited.out" || true) kinds with records updated," \
  "$(grep -c 'la version de Talmérosin est gardée' "$work/edited.out" || true) kept"
cut -f 2 "$work/edited.out" | grep -E '^  (Patients|Consultations|Courriers) :' | sed 's/^/  /' || true
