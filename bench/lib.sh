# Shared by the whole-run benchmarks (sourced): a throwaway PostgreSQL cluster, fresh
# destinations from the reference schema, generated practices, and batch runs of the program in
# a folder of its own whose report lines are stamped with the time they came out.

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# A folder for the run's files that the postgres user can reach (its socket lives there).
bench_workdir() {
  work=$(mktemp -d /tmp/vf-bench.XXXXXX)
  chmod 755 "$work"
  trap 'bench_cleanup' EXIT
}

bench_cleanup() {
  if [ -n "${pg_data:-}" ] && [ -d "$pg_data" ]; then
    as_postgres "$pg_bin/pg_ctl" -D "$pg_data" -m immediate stop >/dev/null 2>&1 || true
  fi
  if [ -n "${tds_data:-}" ] && [ -d "$tds_data" ]; then
    as_babel env LD_LIBRARY_PATH="$work/bbf/pg/lib" "$work/bbf/pg/bin/pg_ctl" -D "$tds_data" -m immediate stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}

as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# Starts PostgreSQL with its default durability settings, counting statements per database
# (pg_stat_statements); extra server settings may follow as "-c name=value".
pg_start() {
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  pg_socket=$work/pg
  pg_data=$pg_socket/data
  pg_port=${PG_PORT:-55432}
  mkdir -p "$pg_socket"
  [ "$(id -u)" -ne 0 ] || chown postgres "$pg_socket"
  as_postgres "$pg_bin/initdb" -D "$pg_data" -A trust -U postgres >/dev/null
  as_postgres "$pg_bin/pg_ctl" -D "$pg_data" -w -l "$pg_socket/log" -o "-k $pg_socket -p $pg_port \
    -c listen_addresses='' -c shared_preload_libraries=pg_stat_statements -c pg_stat_statements.max=10000 $*" \
    start >/dev/null
  pg_sql postgres "CREATE ROLE sa LOGIN SUPERUSER PASSWORD 'murvex'; CREATE EXTENSION pg_stat_statements" >/dev/null
}

# A server that speaks SQL Server's protocol (Babelfish for PostgreSQL, from ../shared/babelfish),
# reached through FreeTDS: unpacked into the work folder and started on port TDS_PORT (default
# 14333), with the login "sa". Returns non-zero when the archive is not there.
tds_start() {
  local archive
  archive=$(ls "$bench_root"/../shared/babelfish/*.tar.zst 2>/dev/null | head -n 1)
  [ -n "$archive" ] || return 1
  tds_port=${TDS_PORT:-14333}
  mkdir -p "$work/bbf" && chmod 755 "$work/bbf"
  tar --zstd -xf "$archive" -C "$work/bbf"
  tds_data=$work/bbf/data
  "$(dirname "$archive")/start.sh" "$work/bbf/pg" "$tds_data" "$((tds_port + 1))" "$tds_port" "$(babel_user)" >/dev/null
  printf '%s\nGO\n%s\nGO\n' "CREATE LOGIN sa WITH PASSWORD = 'murvex'" "ALTER SERVER ROLE sysadmin ADD MEMBER sa" |
    TDSVER=7.4 tsql -H 127.0.0.1 -p "$tds_port" -U babel_admin -P Babel_Pass1 >/dev/null 2>&1
}

babel_user() { if [ "$(id -u)" -eq 0 ]; then echo vfbabel; else id -un; fi; }
as_babel() { if [ "$(id -u)" -eq 0 ]; then runuser -u vfbabel -- "$@"; else "$@"; fi; }

# T-SQL through tsql, its results without headers: tds_sql DATABASE SQL
tds_sql() {
  printf 'USE %s\nGO\n%s\nGO\n' "$1" "$2" | TDSVER=7.4 tsql -H 127.0.0.1 -p "$tds_port" -U sa -P murvex -o fhq 2>&1 |
    grep -v "^Changed database context"
}

# A new destination database on the TDS server from the reference schema.
tds_destination() {
  printf 'CREATE DATABASE %s\nGO\n' "$1" | TDSVER=7.4 tsql -H 127.0.0.1 -p "$tds_port" -U sa -P murvex >/dev/null 2>&1
  { printf 'USE %s\nGO\n' "$1"; sed 's/;$//' "$bench_root/schema/sqlserver.sql" | awk '/^$/ { print "GO" } { print }'; echo GO; } |
    TDSVER=7.4 tsql -H 127.0.0.1 -p "$tds_port" -U sa -P murvex >/dev/null 2>&1
}

# The CPU seconds that a PostgreSQL server (Babelfish is one) has spent, its ended sessions
# included: its postmaster's own and its reaped children's. server_cpu DATA_FOLDER
server_cpu() {
  local pid
  pid=$(head -n 1 "$1/postmaster.pid")
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13 + $14 + $15) / hz }' "/proc/$pid/stat"
}

# psql as the cluster's owner: pg_sql DATABASE SQL
pg_sql() {
  as_postgres psql -X -q -A -t -h "$pg_socket" -p "$pg_port" -U postgres -d "$1" -v ON_ERROR_STOP=1 -c "$2"
}

# A new destination database from the reference schema. Secondary indexes are left out when
# NO_INDEXES=1: the program's speed must not depend on them.
pg_destination() {
  local name=$1
  pg_sql postgres "CREATE DATABASE $name OWNER sa" >/dev/null
  local schema=$bench_root/schema/postgresql.sql
  if [ "${NO_INDEXES:-0}" = 1 ]; then
    grep -v '^CREATE INDEX' "$schema" > "$work/schema.sql"
    schema=$work/schema.sql
  fi
  as_postgres psql -X -q -h "$pg_socket" -p "$pg_port" -U sa -d "$name" -v ON_ERROR_STOP=1 -f "$schema" >/dev/null
}

# The statements that a database received since the counters were last reset.
pg_statements() {
  pg_sql postgres "SELECT coalesce(sum(calls), 0) FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid WHERE d.datname = '$1'"
}

pg_reset_statements() {
  pg_sql postgres "SELECT pg_stat_statements_reset()" >/dev/null
}

# A generated practice: make_practice BUILD_DIR FOLDER PATIENTS
make_practice() {
  "$1/tools/make-practice/make-practice" --out "$2" --patients "$3" --seed 1 >/dev/null
}

# The program and its staging reader copied into a folder of their own:
# program_folder BUILD_DIR FOLDER
program_folder() {
  mkdir -p "$2"
  cp "$1/src/app/velquor-fusion" "$1/src/app/velquor-fusion-stage" "$2/"
}

# A batch run into a PostgreSQL destination, from a fresh program folder and letters folder:
# run_postgres PROGRAM_FOLDER PRACTICE DATABASE STAMPED_OUTPUT
run_postgres() {
  local program=$1 practice=$2 database=$3 output=$4
  rm -rf "$program/LinksTables" "$program"/Velquor_*.log "$practice/Base/LETTERS"
  printf '[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=%s\r\n%s' "$pg_port" "${EXTRA_SETTINGS:-}" \
    > "$program/velquor-fusion.INI"
  printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$database" "$pg_socket" \
    > "$practice/Base/Kestrune.ver"
  stamped "$program/velquor-fusion" --batch --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
    --dest "$practice/Base/" > "$output"
}

# Runs a command; each line of its standard output comes out after the time it came out at, the
# first line being the time the command started.
stamped() {
  printf '%s\tstart\n' "$EPOCHREALTIME"
  { "$@" 2>/dev/null || true; } | while IFS= read -r line; do
    printf '%s\t%s\n' "$EPOCHREALTIME" "$line"
  done
}

# The seconds that each phase took, from the stamped output, one "phase seconds" line each. A
# phase ends with its (last) count line; the first one starts with the run.
phase_times() {
  awk -F '\t' '
    function phase(name) { printf "%s %.2f\n", name, $1 - last; last = $1 }
    NR == 1 { start = $1; last = $1 }
    / médecins utilisateurs après importation\.$/ { phase("users") }
    / correspondants après importation\.$/ { phase("correspondents") }
    / lien patient <-> correspondant après importation\.$/ { phase("patients") }
    / antécédents après importation\.$/ { phase("history") }
    / consultations après importation\.$/ { phase("consultations") }
    / consultations après importation des prescriptions\.$/ { phase("prescriptions") }
    / consultations après importation des fiches de synthèses\.$/ { phase("synthesis") }
    / courriers après importation\.$/ { phase("letters") }
    / (terminée en|stopée après) / { printf "run %.2f\n", $1 - start }
  ' "$1"
}

# The number of source records of each phase, one "phase records" line each.
phase_records() {
  local mdb=$1/V3.mdb
  printf 'users %s\n' "$(mdb-count "$mdb" 'GLB MEDECIN')"
  printf 'correspondents %s\n' "$(mdb-count "$mdb" 'ADR CARNET ADRESSE')"
  printf 'patients %s\n' "$(mdb-count "$mdb" 'GLB PATIENT')"
  printf 'history %s\n' "$(mdb-count "$mdb" 'ANT ANTECEDENT PATIENT')"
  printf 'consultations %s\n' "$(mdb-count "$mdb" 'CON CONSULTATION')"
  printf 'prescriptions %s\n' "$(mdb-count "$mdb" 'ORD ORDONNANCE')"
  printf 'synthesis %s\n' "$(mdb-count "$mdb" 'SYN FICHE SYNTHESE')"
  printf 'letters %s\n' "$(mdb-count "$mdb" 'COU COURRIER GENERE')"
}
