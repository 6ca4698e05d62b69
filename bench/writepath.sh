#!/usr/bin/env bash
# The write path against its floors: whole runs of make-practice practices (2,000 and 10,000
# patients) into PostgreSQL (a throwaway cluster with its default durability, fsync on) and into
# SQLite through the SQLite3 ODBC driver (its default settings: a synced commit per transaction),
# each next to two floors measured in the same script run:
#   A  mdb-export of every source table to /dev/null (reading the source, nothing more);
#   C  the run's own destination rows loaded in bulk into a fresh destination: PostgreSQL COPY of
#      every table in one transaction; for SQLite INSERT ... SELECT of every table from the run's
#      file, in one transaction.
# Each is tried TRIES times (default 3) and given as min / median / max; the run also with its
# peak memory (GNU time), run / (A + C) of the medians and max / min of its tries, the program's
# own CPU seconds and the server's (its postmaster and ended sessions), medians.
# A third destination, "tds", is a server that speaks SQL Server's protocol (Babelfish for
# PostgreSQL, from ../shared/babelfish) reached through FreeTDS, as a practice's SQL Server is;
# its floor C is INSERT ... SELECT of every table from the run's database, in one transaction.
# Targets: 10,000 patients into PostgreSQL at most 3 x (A + C), median; max / min at most 1.3;
# peak memory under 300 MB.
#
# Then where the time goes, on the smallest practice into PostgreSQL (PROFILE=0 leaves it out):
# the phases' times; per phase the statements sent to the destination (round trips), its commits,
# the link tables' write transactions and the waits for durability (fsync and fdatasync calls),
# counted with strace on a run of its own; the statements by kind (pg_stat_statements); and a CPU
# profile (perf) of the program and of its reader process, by binary and by function.
#
# Usage: nice bench/writepath.sh [PATIENTS...]     (TRIES=3 PROFILE=1 DESTINATIONS="postgresql tds sqlite")
# PROGRAM=DIR runs the velquor-fusion and velquor-fusion-stage of DIR (an earlier build, to
# compare) instead of this tree's.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$bench_root"

sizes=("${@:-2000 10000}")
sizes=(${sizes[*]})
tries=${TRIES:-3}
destinations=(${DESTINATIONS:-postgresql tds sqlite})

bench_workdir
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target velquor-fusion velquor-fusion-stage make-practice >/dev/null
if [ -n "${PROGRAM:-}" ]; then
  mkdir -p "$work/prog" && cp "$PROGRAM/velquor-fusion" "$PROGRAM/velquor-fusion-stage" "$work/prog/"
else
  program_folder build "$work/prog"
fi
pg_start
if [[ " ${destinations[*]} " == *" tds "* ]] && ! tds_start; then
  echo "tds left out: no Babelfish archive in ../shared/babelfish"
  destinations=(${destinations[@]/tds})
fi

# The median, least and greatest of the numbers on standard input: "min median max".
spread() {
  sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f %.2f %.2f\n", v[1], m, v[NR] }'
}

seconds_of() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  bc -l <<< "$EPOCHREALTIME - $start"
}

# A: every source table exported as CSV.
export_all() {
  mdb-tables -1 "$1/V3.mdb" | while IFS= read -r table; do
    mdb-export "$1/V3.mdb" "$table" >/dev/null
  done
}

# The destination ready for a run: a fresh database and the program folder's settings.
# destination_for KIND PRACTICE NAME -> the database (PostgreSQL name or SQLite file)
destination_for() {
  local kind=$1 practice=$2 name=$3
  rm -rf "$work/prog/LinksTables" "$work/prog"/Velquor_*.log
  # The letters of the try before are moved aside, not deleted: ext4 skips the inodes freed in the
  # last half-minute when it looks for free ones, and a try that comes right after tens of
  # thousands of deletions spends its letters phase in that search (a technician's letters folder
  # is not emptied just before a run). They go when the benchmark ends.
  if [ -d "$practice/Base/LETTERS" ]; then
    mkdir -p "$work/spent"
    mv "$practice/Base/LETTERS" "$(mktemp -d "$work/spent/letters.XXXXXX")/"
  fi
  if [ "$kind" = postgresql ]; then
    pg_destination "$name"
    printf '[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=%s\r\n' "$pg_port" > "$work/prog/velquor-fusion.INI"
    printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=%s\r\nUserName=sa\r\nSAPW=\r\n' "$name" "$pg_socket" \
      > "$practice/Base/Kestrune.ver"
    echo "$name"
  elif [ "$kind" = tds ]; then
    tds_destination "$name"
    printf '[Destination]\r\nDriver=FreeTDS\r\nOptions=Port=%s;TDS_Version=7.4\r\n' "$tds_port" > "$work/prog/velquor-fusion.INI"
    printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=127.0.0.1\r\nUserName=sa\r\nSAPW=\r\n' "$name" \
      > "$practice/Base/Kestrune.ver"
    echo "$name"
  else
    rm -f "$work/$name.sqlite"
    sqlite3 "$work/$name.sqlite" < schema/sqlite.sql
    printf '[Destination]\r\nDriver=SQLite3\r\n' > "$work/prog/velquor-fusion.INI"
    printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=localhost\r\nUserName=sa\r\nSAPW=\r\n' "$work/$name.sqlite" \
      > "$practice/Base/Kestrune.ver"
    echo "$work/$name.sqlite"
  fi
}

# A run, its report lines stamped; GNU time's "seconds peak_kB user_s system_s" in $work/time.
# timed_run PRACTICE STAMPED_OUTPUT [WRAPPER...]
timed_run() {
  local practice=$1 output=$2
  shift 2
  stamped "$@" /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$work/prog/velquor-fusion" --batch \
    --source "$practice/V3.mdb" --letters "$practice/COURRIER/" --dest "$practice/Base/" > "$output"
}

# The tables of a destination that hold rows.
filled_tables() {
  if [ "$1" = postgresql ]; then
    for table in $(pg_sql "$2" "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'"); do
      [ "$(pg_sql "$2" "SELECT count(*) FROM \"$table\"")" = 0 ] || echo "$table"
    done
  elif [ "$1" = tds ]; then
    for table in $(tds_sql "$2" "SELECT name FROM sys.tables"); do
      [ "$(tds_sql "$2" "SELECT count(*) FROM $table" | tr -d '[:space:]')" = 0 ] || echo "$table"
    done
  else
    for table in $(sqlite3 "$2" "SELECT name FROM sqlite_master WHERE type = 'table'"); do
      [ "$(sqlite3 "$2" "SELECT count(*) FROM \"$table\"")" = 0 ] || echo "$table"
    done
  fi
}

rows_of() {
  local total=0 table
  for table in $(filled_tables "$1" "$2"); do
    if [ "$1" = postgresql ]; then
      total=$((total + $(pg_sql "$2" "SELECT count(*) FROM \"$table\"")))
    elif [ "$1" = tds ]; then
      total=$((total + $(tds_sql "$2" "SELECT count(*) FROM $table" | tr -d '[:space:]')))
    else
      total=$((total + $(sqlite3 "$2" "SELECT count(*) FROM \"$table\"")))
    fi
  done
  echo "$total"
}

# C: the run's rows loaded in bulk into a fresh destination, one transaction: floor_load KIND
# DATABASE NAME -> seconds
floor_load() {
  local kind=$1 database=$2 name=$3 table
  local tables=($(filled_tables "$kind" "$database"))
  if [ "$kind" = postgresql ]; then
    mkdir -p "$work/copy" && chmod 777 "$work/copy"
    {
      echo "BEGIN;"
      for table in "${tables[@]}"; do
        [ -f "$work/copy/$database.$table" ] || pg_sql "$database" "COPY \"$table\" TO '$work/copy/$database.$table'"
        echo "COPY \"$table\" FROM '$work/copy/$database.$table';"
      done
      echo "COMMIT;"
    } > "$work/copy.sql"
    pg_destination "$name"
    seconds_of as_postgres psql -X -q -h "$pg_socket" -p "$pg_port" -U postgres -d "$name" -v ON_ERROR_STOP=1 -f "$work/copy.sql"
  elif [ "$kind" = tds ]; then
    {
      printf 'USE %s\nGO\nBEGIN TRANSACTION\n' "$name"
      for table in "${tables[@]}"; do echo "INSERT INTO $table SELECT * FROM $database.dbo.$table"; done
      printf 'COMMIT\nGO\n'
    } > "$work/copy.sql"
    tds_destination "$name"
    seconds_of sh -c "TDSVER=7.4 tsql -H 127.0.0.1 -p $tds_port -U sa -P murvex < '$work/copy.sql' 2>/dev/null"
  else
    {
      echo "ATTACH '$database' AS run;"
      echo "BEGIN;"
      for table in "${tables[@]}"; do echo "INSERT INTO main.\"$table\" SELECT * FROM run.\"$table\";"; done
      echo "COMMIT;"
    } > "$work/copy.sql"
    rm -f "$work/$name.sqlite"
    sqlite3 "$work/$name.sqlite" < schema/sqlite.sql
    seconds_of sqlite3 "$work/$name.sqlite" < "$work/copy.sql"
  fi
}

printf '%-8s %-10s %8s | %-20s %-20s %-20s | %6s %7s %7s | %8s %8s\n' patients dest rows "A s (min med max)" \
  "C s (min med max)" "run s (min med max)" "run/AC" max/min "peak MB" "prog CPU" "srv CPU"
for patients in "${sizes[@]}"; do
  practice=$work/practice-$patients
  make_practice build "$practice" "$patients"
  a=$(for try in $(seq "$tries"); do seconds_of export_all "$practice"; done | spread)
  for kind in "${destinations[@]}"; do
    : > "$work/runs" && : > "$work/peaks" && : > "$work/floors" && : > "$work/cpus" && : > "$work/servers"
    case $kind in postgresql) server_data=$pg_data ;; tds) server_data=$tds_data ;; *) server_data="" ;; esac
    for try in $(seq "$tries"); do
      database=$(destination_for "$kind" "$practice" "r_${patients}_$try")
      server_before=$([ -z "$server_data" ] || server_cpu "$server_data")
      timed_run "$practice" "$work/out-$kind-$patients-$try"
      read -r seconds peak user system < <(tail -n 1 "$work/time")
      echo "$seconds" >> "$work/runs"
      echo "$peak" >> "$work/peaks"
      bc -l <<< "$user + $system" >> "$work/cpus"
      [ -z "$server_data" ] || bc -l <<< "$(server_cpu "$server_data") - $server_before" >> "$work/servers"
      floor_load "$kind" "$database" "c_${patients}_$try" >> "$work/floors"
    done
    rows=$(rows_of "$kind" "$database")
    c=$(spread < "$work/floors")
    run=$(spread < "$work/runs")
    read -r _ a_median _ <<< "$a"
    read -r _ c_median _ <<< "$c"
    read -r run_min run_median run_max <<< "$run"
    read -r _ cpu _ < <(spread < "$work/cpus")
    server=-
    [ ! -s "$work/servers" ] || read -r _ server _ < <(spread < "$work/servers")
    printf '%-8s %-10s %8d | %-20s %-20s %-20s | %6.2f %7.2f %7.0f | %8s %8s\n' "$patients" "$kind" "$rows" "$a" "$c" "$run" \
      "$(bc -l <<< "$run_median / ($a_median + $c_median)")" "$(bc -l <<< "$run_max / $run_min")" \
      "$(bc -l <<< "$(sort -n "$work/peaks" | tail -n 1) / 1024")" "$cpu" "$server"
  done
done

[ "${PROFILE:-1}" = 1 ] || exit 0

# Where the time goes, on the smallest practice, into each destination.
patients=${sizes[0]}
practice=$work/practice-$patients
for kind in "${destinations[@]}"; do
  printf '\n== %s, %s patients: phases of the first run (seconds)\n' "$kind" "$patients"
  phase_times "$work/out-$kind-$patients-1" | awk '{ printf "  %-15s %8s\n", $1, $2 }'

  # The system calls of a run under strace, each given to the phase it happened in by its time.
  printf '\n== %s: per phase, from a run under strace (its times are longer): destination round trips\n' "$kind"
  printf '   (statements sent to the server), destination commits, link-table write transactions,\n'
  printf '   fsync/fdatasync waits (link tables, destination, others)\n'
  database=$(destination_for "$kind" "$practice" s_$patients)
  timed_run "$practice" "$work/out-strace" strace -f -ttt -yy -s 24 -e trace=sendto,fcntl,fsync,fdatasync,unlink \
    -o "$work/strace"
  phase_times "$work/out-strace" | grep -v '^run ' > "$work/strace-phases"
  awk -v phases="$work/strace-phases" -v start="$(head -n 1 "$work/out-strace" | cut -f 1)" '
    BEGIN {
      t = start
      while ((getline line < phases) > 0) { split(line, f, " "); n++; name[n] = f[1]; t += f[2]; end[n] = t }
    }
    function phase_of(time,   i) { for (i = 1; i <= n; i++) if (time <= end[i]) return name[i]; return "end" }
    {
      p = phase_of($2)
      if ($0 ~ /sendto\(.*MSG_NOSIGNAL/) { trips[p]++; if ($0 ~ /COMMIT/) commits[p]++ }
      else if ($0 ~ /unlink\(.*s_[0-9]+\.sqlite-journal/) commits[p]++
      else if ($0 ~ /fcntl\(.*LinksTables.*-shm.*F_SETLK, \{l_type=F_WRLCK, l_whence=SEEK_SET, l_start=120,/) links[p]++
      else if ($0 ~ /f(data)?sync\(.*LinksTables/) linksyncs[p]++
      else if ($0 ~ /f(data)?sync\(.*s_[0-9]+\.sqlite/) destsyncs[p]++
      else if ($0 ~ /f(data)?sync\(/) syncs[p]++
    }
    END {
      printf "  %-15s %8s %8s %12s %12s %12s %8s\n", "phase", "trips", "commits", "link commits", "link syncs", "dest syncs", "others"
      for (i = 1; i <= n + 1; i++) {
        p = i <= n ? name[i] : "end"
        printf "  %-15s %8d %8d %12d %12d %12d %8d\n", p, trips[p], commits[p], links[p], linksyncs[p], destsyncs[p], syncs[p]
      }
    }' "$work/strace"

  if [ "$kind" = tds ]; then
    # FreeTDS's own log of a run of its own: each statement executed, each request sent.
    printf '\n== tds: destination statements and round trips, from a run with FreeTDS'"'"'s log (TDSDUMP)\n'
    database=$(destination_for "$kind" "$practice" d_$patients)
    TDSDUMP=$work/tdsdump timed_run "$practice" "$work/out-tdsdump"
    printf '  statements executed %d, requests sent %d\n' "$(grep -c '^odbc.c:[0-9]*:_SQLExecute(' "$work/tdsdump")" \
      "$(grep -c 'Changed query state from IDLE to WRITING' "$work/tdsdump")"
    rm -f "$work/tdsdump"
  fi

  if [ "$kind" = postgresql ]; then
    printf '\n== postgresql: destination statements by kind, same run (pg_stat_statements, most called first)\n'
    pg_sql postgres "SELECT lpad(calls::text, 9) || '  ' || left(regexp_replace(query, '\s+', ' ', 'g'), 90)
      FROM pg_stat_statements s JOIN pg_database d ON d.oid = s.dbid WHERE d.datname = '$database'
      ORDER BY calls DESC LIMIT 12"
  fi

  printf '\n== %s: CPU profile of a run (perf, the program and its reader process)\n' "$kind"
  database=$(destination_for "$kind" "$practice" p_$patients)
  timed_run "$practice" "$work/out-perf" perf record -q -F 499 -g -o "$work/perf.data"
  printf '  wall %s s; by process and binary (%% of samples):\n' "$(phase_times "$work/out-perf" | awk '$1 == "run" { print $2 }')"
  perf report -i "$work/perf.data" --no-children --sort comm,dso --stdio -g none 2>/dev/null | grep -v '^#' |
    grep '%' | head -n 10 | sed 's/^/  /' || true
  for comm in velquor-fusion velquor-fusion-; do
    printf '  functions of %s (self, %% of all samples):\n' "$comm"
    perf report -i "$work/perf.data" --comm "$comm" --no-children --sort dso,sym --stdio -g none 2>/dev/null |
      grep -v '^#' | grep '%' | head -n 10 | sed 's/^/    /' || true
  done
done
