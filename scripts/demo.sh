#!/usr/bin/env bash
# The demo migration: installs what is needed, builds, generates a sample practice, creates an
# embedded SQLite destination from the reference schema, and runs the batch import into it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
./scripts/setup-debian.sh
./scripts/build.sh build

app_dir=$root/build/src/app
program=$app_dir/velquor-fusion
make_practice=$root/build/tools/make-practice/make-practice
demo=$root/demo
practice=$demo/practice
database=$demo/talmerosin.db
patients=${DEMO_PATIENTS:-300}

rm -rf "$demo"
mkdir -p "$demo"
echo "== Cabinet de démonstration : $patients patients"
"$make_practice" --out "$practice" --patients "$patients" --seed 1

echo "== Base Talmérosin de démonstration (SQLite) : $database"
sqlite3 "$database" < schema/sqlite.sql

# The destination configuration points at the SQLite file; the settings file beside the
# program names the SQLite ODBC driver.
cat > "$practice/Base/Kestrune.ver" <<INI
[DBKERNEL]
DatabaseName=$database
ServerName=localhost
UserName=sa
SAPW=
INI
cat > "$program.INI" <<INI
[Destination]
Driver=SQLite3
Options=SyncPragma=NORMAL;JournalMode=WAL
INI
rm -rf "$app_dir/LinksTables"

echo "== Importation"
status=0
"$program" --batch --source "$practice/V3.mdb" --letters "$practice/COURRIER/" \
  --dest "$practice/Base/" --purge || status=$?

echo "== Lignes par table de destination"
for table in $(sqlite3 "$database" "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"); do
  count=$(sqlite3 "$database" "SELECT COUNT(*) FROM \"$table\"")
  [ "$count" -gt 0 ] && printf '%-20s %s\n' "$table" "$count"
done
echo "Courriers copiés : $(find "$practice/Base/LETTERS" -type f 2>/dev/null | wc -l)"

cat <<TXT

La même migration s'ouvre dans la fenêtre (les chemins sont retenus dans $program.INI) :
  $program
Cochez « Vider la base avant importation » puis cliquez sur « Importer ».
Sans écran : xvfb-run -a $program
TXT
exit $status
