#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need. Safe to run twice.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-odbc libqt6sql6-sqlite qt6-translations-l10n
  mdbtools mdbtools-dev
  libsqlite3-dev sqlite3
  libjemalloc-dev
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql tdsodbc
  zstd freetds-bin libossp-uuid16 libicu72 libxml2 libxslt1.1 libssl3 libldap-2.5-0
  postgresql
  nlohmann-json3-dev
  xvfb xauth
  dosfstools fusefat
  dpkg-dev file lintian desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y "${missing[@]}"
