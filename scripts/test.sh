#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
./scripts/build.sh build

# A server that speaks SQL Server's protocol (Babelfish for PostgreSQL, in ../shared/babelfish) for
# the destination tests' "tds" rows: unpacked into a temporary folder, started as an unprivileged
# user on free ports, stopped and removed at the end.
babelfish=$(realpath $(ls ../shared/babelfish/*.tar.zst 2>/dev/null | head -n 1) 2>/dev/null || true)
tds_dir=""
tds_user=""
stop_tds() {
  [ -n "$tds_dir" ] || return 0
  local stop=(env LD_LIBRARY_PATH="$tds_dir/pg/lib" "$tds_dir/pg/bin/pg_ctl" -D "$tds_dir/data" stop -m immediate -w)
  if [ -n "$tds_user" ]; then runuser -u "$tds_user" -- "${stop[@]}" >/dev/null 2>&1 || true
  else "${stop[@]}" >/dev/null 2>&1 || true; fi
  rm -rf "$tds_dir"
}
trap stop_tds EXIT

# A TCP port of 127.0.0.1 on which nothing listens.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}

# The TDS stage: the destination rows of the tests ("tds") run over a server that speaks SQL
# Server's protocol, beside those of SQLite and PostgreSQL, when the server's archive is there.
cd build
if [ -n "$babelfish" ]; then
  tds_dir=$(mktemp -d "${TMPDIR:-/tmp}/vf-tds-XXXXXX")
  chmod 755 "$tds_dir"
  tar --zstd -xf "$babelfish" -C "$tds_dir"
  [ "$(id -u)" -ne 0 ] || tds_user=vfbabel
  pg_port=$(free_port)
  tds_port=$(free_port)
  while [ "$tds_port" = "$pg_port" ]; do tds_port=$(free_port); done
  "$(dirname "$babelfish")/start.sh" "$tds_dir/pg" "$tds_dir/data" "$pg_port" "$tds_port" "${tds_user:-babel}" >/dev/null
  # The tests' login: "sa", allowed to create and drop their databases.
  printf '%s\nGO\n%s\nGO\n' "CREATE LOGIN sa WITH PASSWORD = 'murvex'" "ALTER SERVER ROLE sysadmin ADD MEMBER sa" |
    TDSVER=7.4 tsql -H 127.0.0.1 -p "$tds_port" -U babel_admin -P Babel_Pass1 >/dev/null 2>&1
  # How the fault tests stop the server during a run and start it again.
  pg_ctl="env LD_LIBRARY_PATH=$tds_dir/pg/lib $tds_dir/pg/bin/pg_ctl -D $tds_dir/data"
  [ -z "$tds_user" ] || pg_ctl="runuser -u $tds_user -- $pg_ctl"
  export VF_TEST_TDS_PORT=$tds_port
  export VF_TEST_TDS_STOP="$pg_ctl stop -m fast -w"
  export VF_TEST_TDS_START="$(dirname "$babelfish")/start.sh $tds_dir/pg $tds_dir/data $pg_port $tds_port ${tds_user:-babel}"
fi
# The fault tests stop the servers that the other tests share: they run alone, after them.
status=0
ctest --output-on-failure -j2 -E '^tst_faults$' || status=$?
cp Testing/Temporary/LastTest.log Testing/Temporary/LastTest-all.log
ctest --output-on-failure -R '^tst_faults$' || status=$?
if [ -n "$babelfish" ]; then
  logs=(Testing/Temporary/LastTest-all.log Testing/Temporary/LastTest.log)
  echo "TDS stage (Babelfish through FreeTDS): $(cat "${logs[@]}" | grep -cE '^PASS   : [^(]*\(.*tds[^(]*\)$' || true) tests" \
       "passed over TDS, $(cat "${logs[@]}" | grep -cE '^FAIL!  : [^(]*\(.*tds[^(]*\)' || true) failed"
  stop_tds
  tds_dir=""
else
  echo "TDS stage skipped: no Babelfish archive in ../shared/babelfish, so no test runs over TDS (SQL Server's protocol)"
fi
[ "$status" -eq 0 ] || exit "$status"

# The source connection's and the staging reader's tests again under AddressSanitizer and UndefinedBehaviorSanitizer
# (damaged Access files must never crash the program), and each fuzz target replayed on its corpus
# and regression inputs (scripts/fuzz.sh does the fuzzing itself); only what they need is built.
cd ..
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVF_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)" --target tst_source_connection tst_source_writer tst_source_export tst_page_reader tst_windows_iconv \
  fuzz_access_pages-replay fuzz_staging_stream-replay fuzz_ini-replay fuzz_json_input-replay fuzz_stage_process-replay
ctest --test-dir build-asan -L 'source|stage|fuzz' --output-on-failure
