#!/usr/bin/env bash
# Writes 1,000,000 rows of five columns with mdb-write and reads them back with mdb-export;
# prints both times. Usage: bench/mdbwriter.sh [BUILD_DIR] [ROWS]
set -euo pipefail

build_dir=${1:-build}
rows=${2:-1000000}
writer="$build_dir/tools/mdbwriter/mdb-write"
if [ ! -x "$writer" ]; then
  echo "mdb-write not found at $writer (build the mdb-write target first)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v rows="$rows" 'BEGIN {
  printf "{\"tables\": [{\"name\": \"CON CONSULTATION\", \"columns\": ["
  printf "{\"name\": \"CODE CONSULTATION\", \"type\": \"long\"}, {\"name\": \"NOM\", \"type\": \"text\", \"size\": 50}, "
  printf "{\"name\": \"MONTANT\", \"type\": \"double\"}, {\"name\": \"DATE\", \"type\": \"datetime\"}, "
  printf "{\"name\": \"DONNEES\", \"type\": \"memo\"}], \"rows\": [\n"
  for (i = 0; i < rows; i++) {
    printf "%s[%d, \"Patient %d Hélène\", %d.25, \"2004-03-%02dT14:05:00\", \"note %d\\r\\nligne 2\"]\n", (i ? "," : ""), i, i, i % 1000, 1 + i % 28, i
  }
  printf "]}]}\n"
}' > "$work/input.json"

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

start=$(now)
"$writer" "$work/input.json" "$work/bench.mdb"
write_seconds=$(since "$start")

start=$(now)
exported=$(mdb-export "$work/bench.mdb" "CON CONSULTATION" | wc -l)
export_seconds=$(since "$start")

size=$(stat -c %s "$work/bench.mdb")
printf 'rows: %d  (five columns; JSON %d MB, file %d MB, %d CSV lines read back)\n' \
  "$rows" $(( $(stat -c %s "$work/input.json") / 1048576 )) $(( size / 1048576 )) "$exported"
printf 'mdb-write  (JSON to Jet 4): %6.2f s\n' "$write_seconds"
printf 'mdb-export (Jet 4 to CSV):  %6.2f s\n' "$export_seconds"
