#!/usr/bin/env bash
# The Debian package end to end: built by scripts/package.sh, checked by lintian and
# desktop-file-validate, installed with apt-get, used by a throwaway user who is not root (the
# program folder of /usr/bin is not writable for that user), then removed.
#   package_test.sh SOURCE_DIR BUILD_DIR VERSION MAKE_PRACTICE
# It needs root, as on CI; otherwise it is skipped (exit status 77).
#
# Whatever it changes on the machine it first writes into a state file, and undoes on exit; a
# run that was killed half way is undone by the next one. One run at a time on the machine.
set -euo pipefail

source_dir=$1
build_dir=$2
version=$3
make_practice=$4

package=velquor-fusion
user=vf-package-test
state=/var/tmp/velquor-fusion-package-test.state
lock=/var/tmp/velquor-fusion-package-test.lock
apt_options=(-y -q -o DPkg::Lock::Timeout=300)

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the package test installs the package with apt-get and adds a user, which needs root (run it as root, as CI does)"
  exit 77
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Undoes, in reverse order, what the state file records: the installed package, the reader of
# the build tree hidden from other users, the throwaway user and the work folder.
undo() {
  [ -f "$state" ] || return 0
  local what rest
  tac "$state" | while read -r what rest; do
    case $what in
      installed) # an install that was killed leaves dpkg "interrupted": finish it, then purge
        dpkg --configure --pending >/dev/null 2>&1 || true
        apt-get purge "${apt_options[@]}" "$package" >/dev/null 2>&1 || dpkg --purge "$package" >/dev/null 2>&1 || true ;;
      hidden) # "hidden MODE PATH"
        case ${rest#* } in */velquor-fusion-stage) [ ! -e "${rest#* }" ] || chmod "${rest%% *}" "${rest#* }" ;; esac ;;
      user) userdel -f -r "$user" >/dev/null 2>&1 || true ;;
      work) case $rest in /tmp/velquor-fusion-package.*) rm -rf "$rest" ;; esac ;;
    esac
  done || true
  rm -f "$state"
}
record() { echo "$*" >> "$state"; }

exec 9> "$lock"
flock -w 600 9 || fail "another package test holds $lock"
if [ -f "$state" ]; then
  echo "An earlier package test stopped half way; undoing what it left:"
  cat "$state"
  undo
fi
trap undo EXIT
trap 'exit 130' INT TERM HUP PIPE

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIPPED: $package is installed on this machine, not by this test; the test would replace it"
  exit 77
fi
if id "$user" >/dev/null 2>&1; then
  fail "the user $user exists already, not made by this test"
fi
for tool in lintian desktop-file-validate dpkg-shlibdeps sqlite3 runuser; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup-debian.sh"
done
odbcinst -q -d -n SQLite3 >/dev/null 2>&1 || fail "the SQLite3 ODBC driver is missing (libsqliteodbc)"

work=$(mktemp -d /tmp/velquor-fusion-package.XXXXXX)
record work "$work"
chmod 755 "$work" # apt's download user reads the package from here

echo "== Package"
"$source_dir/scripts/package.sh" "$build_dir" "$work" > "$work/package.log" 2>&1 \
  || { cat "$work/package.log"; fail "scripts/package.sh failed"; }
deb=$work/${package}_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb; made: $(ls "$work")"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
dpkg-deb -f "$deb" Depends Recommends Suggests

echo "== lintian"
lint_status=0
lint=$(lintian --fail-on error "$deb" 2>&1) || lint_status=$?
lint=$(grep -v 'running with root privileges' <<< "$lint" || true)
echo "${lint:-no errors, no warnings}"
[ "$lint_status" -eq 0 ] || fail "lintian reports errors"

echo "== Contents"
dpkg-deb -x "$deb" "$work/tree"
desktop-file-validate "$work/tree/usr/share/applications/velquor-fusion.desktop" || fail "desktop-file-validate"
executables=$(cd "$work/tree" && find . -type f -perm -u+x | sort | tr '\n' ' ')
[ "$executables" = "./usr/bin/velquor-fusion ./usr/lib/velquor-fusion/velquor-fusion-stage " ] \
  || fail "unexpected programs in the package: $executables"
for file in usr/share/man/man1/velquor-fusion.1.gz usr/share/icons/hicolor/scalable/apps/velquor-fusion.svg \
            usr/share/velquor-fusion/schema/sqlserver.sql usr/share/doc/velquor-fusion/README.md; do
  [ -f "$work/tree/$file" ] || fail "$file is not in the package"
done
! grep -qa VF_TEST_HOLD "$work/tree/usr/bin/velquor-fusion" || fail "the packaged program holds the test holds"

echo "== Install"
record installed
apt-get install "${apt_options[@]}" "$deb" > "$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "apt-get install failed"; }
[ "$(dpkg-query -W -f='${Version}' "$package")" = "$version" ] || fail "installed version"

# The build tree's reader, which the program would also find, is hidden from the throwaway user:
# the runs below then show that the installed program finds its own reader.
built_reader=$build_dir/src/app/velquor-fusion-stage
if [ -e "$built_reader" ]; then
  record hidden "$(stat -c %a "$built_reader")" "$built_reader"
  chmod o-rx "$built_reader"
fi

record user
home=$work/home
useradd -m -d "$home" -s /bin/sh "$user"
as_user() {
  runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 "$@"
}
data=$home/.local/share/velquor-fusion

echo "== velquor-fusion --version"
out=$(as_user velquor-fusion --version)
[ "$out" = "velquor-fusion $version" ] || fail "--version printed '$out'"
echo "$out"

practice=$home/practice
"$make_practice" --out "$practice" --patients 5 --seed 1 >/dev/null
database=$home/talmerosin.db
sqlite3 "$database" < /usr/share/velquor-fusion/schema/sqlite.sql
printf '[DBKERNEL]\r\nDatabaseName=%s\r\nServerName=localhost\r\nUserName=sa\r\nSAPW=\r\n' "$database" \
  > "$practice/Base/Kestrune.ver"
chown -R "$user:" "$practice" "$database"
run_batch() { # SOURCE [environment...]
  local source=$1
  shift
  runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin LC_ALL=C.UTF-8 "$@" \
    velquor-fusion --batch --source "$source" --letters "$practice/COURRIER/" --dest "$practice/Base/"
}

echo "== The program folder"
# A run stopped by its path check writes nothing, but has chosen and created the folder.
status=0
run_batch "$practice/absent.mdb" > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a run with a missing source ended with $status, not 2"
[ -d "$data" ] || fail "$data was not created"
[ "$(stat -c '%a %U' "$data")" = "700 $user" ] || fail "$data is $(stat -c '%a %U' "$data")"
printf '[Destination]\r\nDriver=SQLite3\r\nOptions=SyncPragma=NORMAL;JournalMode=WAL\r\n' \
  | as_user tee "$data/velquor-fusion.INI" > /dev/null

# A per-user folder that cannot be created ends the batch run with status 3.
as_user touch "$home/not-a-folder"
status=0
err=$(run_batch "$practice/V3.mdb" XDG_DATA_HOME="$home/not-a-folder" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 3 ] || fail "an unusable folder ended the run with $status, not 3"
case $err in
  *"ne peut être ni créé ni utilisé"*) echo "$err" ;;
  *) fail "unexpected message for an unusable folder: $err" ;;
esac

count_rows() {
  local table
  for table in $(sqlite3 "$database" "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"); do
    echo "$table $(sqlite3 "$database" "SELECT COUNT(*) FROM \"$table\"")"
  done
  echo "letters $(find "$practice/Base/LETTERS" -type f 2>/dev/null | wc -l)"
}

echo "== First migration"
run_batch "$practice/V3.mdb" > "$work/run1.out" 2>&1 || { cat "$work/run1.out"; fail "the first run failed"; }
tail -n 2 "$work/run1.out"
grep -qx '5 patients après importation.' "$work/run1.out" || fail "5 patients were not imported"
grep -q "^V3=$practice/V3.mdb" "$data/velquor-fusion.INI" || fail "the paths were not saved in $data/velquor-fusion.INI"
grep -q '^Driver=SQLite3' "$data/velquor-fusion.INI" || fail "the [Destination] section was lost"
links=$(dirname "$(find "$data/LinksTables" -name Destination.txt | head -n 1)")
for table in Medecins.db Patients.db MotConsu.db; do
  [ -f "$links/$table" ] || fail "no $table in a destination's folder of $data/LinksTables"
done
[ "$(find "$data" -maxdepth 1 -name 'Velquor_*.log' | wc -l)" -eq 1 ] || fail "no import log in $data"
[ -z "$(find "$data" ! -user "$user")" ] || fail "files in $data not owned by $user"
for beside in /usr/bin/velquor-fusion.INI /usr/bin/LinksTables; do
  [ ! -e "$beside" ] || fail "$beside was written beside the installed program"
done
count_rows > "$work/counts1"
grep -qx 'PATIENTS 5' "$work/counts1" || fail "PATIENTS: $(grep PATIENTS "$work/counts1")"

echo "== Second migration: nothing new"
sleep 1 # a log name of its own (the name holds the time to the second)
run_batch "$practice/V3.mdb" > "$work/run2.out" 2>&1 || { cat "$work/run2.out"; fail "the second run failed"; }
count_rows > "$work/counts2"
diff "$work/counts1" "$work/counts2" || fail "the second run imported rows again"
[ "$(find "$data" -maxdepth 1 -name 'Velquor_*.log' | wc -l)" -eq 2 ] || fail "the second run has no log of its own"
tr '\n' ' ' < "$work/counts2"
echo

echo "== Remove"
apt-get purge "${apt_options[@]}" "$package" > "$work/remove.log" 2>&1 \
  || { cat "$work/remove.log"; fail "apt-get purge failed"; }
sed -i '/^installed$/d' "$state"
! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || fail "still installed"
for gone in /usr/bin/velquor-fusion /usr/lib/velquor-fusion /usr/share/velquor-fusion; do
  [ ! -e "$gone" ] || fail "$gone is left after removal"
done
echo "PASSED: package built, installed, used twice by $user, removed"
