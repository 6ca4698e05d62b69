#!/usr/bin/env bash
# The program for Windows, cross-built on Debian with MinGW-w64, and its tests under Wine.
#
#   scripts/windows.sh          builds velquor-fusion-<version>-win64.zip in the repository's folder
#   scripts/windows.sh --test   builds it if needed, then tests it under Wine against the Linux build
#
# Qt (Core, Gui, Widgets, Sql with its ODBC plugin, the Windows platform plugin), libmdb and
# SQLite are built from Debian's source packages, once: their sources, builds and installed files
# stay in the cache folder VF_WINDOWS_CACHE (default ~/.cache/velquor-fusion-windows), and a later
# run finds them there. The program itself is built in build-windows/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${VF_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velquor-fusion-windows}
jobs=${VF_WINDOWS_JOBS:-$(nproc)}
target=x86_64-w64-mingw32
cc=$target-gcc-posix
version=$(sed -n 's/^project(velquor-fusion VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
package=velquor-fusion-$version-win64
qt_version=6.4.2
qt_prefix=$cache/qt6-win64
deps_prefix=$cache/deps-win64
build_dir=$root/build-windows
toolchain=$cache/mingw-toolchain.cmake

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Prints how long a step took.
step() {
  local name=$1
  shift
  local start=$SECONDS
  echo "== $name"
  "$@"
  echo "== $name : $((SECONDS - start)) s"
}

# The Debian packages of the cross-build and of the tests; the source lines (deb-src) that
# `apt-get source` needs.
install_packages() {
  local packages=(
    cmake ninja-build ccache pkg-config dpkg-dev tcl zip unzip procps
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    qt6-base-dev qt6-base-dev-tools
    libwine-dev wine wine64 xvfb xauth x11-apps x11-utils netpbm wget
    sqlite3 unixodbc libsqliteodbc qt6-translations-l10n
    librsvg2-bin icoutils wixl msitools
  )
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  local update=no
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    if grep -q '^Types: deb$' /etc/apt/sources.list.d/debian.sources; then
      $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
      update=yes
    fi
  elif [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src ' /etc/apt/sources.list; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list | $SUDO tee -a /etc/apt/sources.list >/dev/null
    update=yes
  fi
  if [ ${#missing[@]} -gt 0 ] || [ $update = yes ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    $SUDO apt-get install -y "${missing[@]}"
  fi
}

# Debian's source packages of Qt, SQLite and mdbtools. Debian's mirror may serve no source of
# the mdbtools of the release; the upstream tarball of its next version, which Debian's pool
# keeps, is then used.
fetch_sources() {
  mkdir -p "$cache/src"
  cd "$cache/src"
  [ -n "$(ls qt6-base_$qt_version*.orig.tar.xz 2>/dev/null)" ] || apt-get source --download-only qt6-base
  [ -n "$(ls sqlite3_*.orig.tar.xz 2>/dev/null)" ] || apt-get source --download-only sqlite3
  if [ -z "$(ls mdbtools_*.orig.tar.* 2>/dev/null)" ]; then
    apt-get source --download-only mdbtools \
      || wget -q http://deb.debian.org/debian/pool/main/m/mdbtools/mdbtools_1.0.1.orig.tar.gz
  fi
  if [ ! -d qtbase-everywhere-src-$qt_version ]; then
    tar xJf qt6-base_$qt_version*.orig.tar.xz
  fi
  # Debian's source leaves out the tablet headers (Wintab) that the Windows platform plugin
  # includes; Wine's headers of the same interface stand in, with the macros they expect of
  # Wine's own headers (MinGW has them) and the API macro of the original header.
  local wintab=qtbase-everywhere-src-$qt_version/src/3rdparty/wintab wine_include=/usr/include/wine/wine/windows
  if [ ! -f "$wintab/wintab.h" ]; then
    mkdir -p "$wintab"
    { echo '#include <_mingw_dxhelper.h>'; cat "$wine_include/wintab.h"; printf '#ifndef API\n#define API WINAPI\n#endif\n'; } \
      > "$wintab/wintab.h"
    cp "$wine_include/pktdef.h" "$wintab/"
  fi
  # Qt 6.4's Windows window code reaches for OpenGL's dynamic loading even when OpenGL is left
  # out of the build (fixed in later Qt versions): it is compiled only with OpenGL.
  sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    qtbase-everywhere-src-$qt_version/src/plugins/platforms/windows/qwindowswindow.cpp
  cd "$root"
}

write_toolchain() {
  cat > "$toolchain.new" <<CMAKE
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $target-gcc-posix)
set(CMAKE_CXX_COMPILER $target-g++-posix)
set(CMAKE_RC_COMPILER $target-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$target)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
  replace_if_changed "$toolchain"
}

# FILE.new becomes FILE only when it differs, so that CMake does not configure again for nothing.
replace_if_changed() {
  if cmp -s "$1.new" "$1" 2>/dev/null; then rm "$1.new"; else mv "$1.new" "$1"; fi
}

# Qt's modules for the program, nothing else: no network, no OpenGL, no printing, no XML, no
# test library; the SQL module with its ODBC driver only. Debian's own Qt of the same version
# runs the code generators (moc, rcc, uic) of the build.
qt_options=(
  -DCMAKE_BUILD_TYPE=Release -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DBUILD_SHARED_LIBS=ON
  -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_testlib=OFF -DFEATURE_sql=ON -DFEATURE_sql_odbc=ON -DFEATURE_sql_sqlite=OFF
  -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF -DFEATURE_sql_db2=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF -DFEATURE_zstd=OFF
)

build_qt() {
  local stamp=$qt_prefix/.velquor-fusion-options
  local wanted="qtbase $qt_version ${qt_options[*]}"
  if [ -f "$qt_prefix/lib/cmake/Qt6/Qt6Config.cmake" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
    echo "Qt $qt_version pour Windows : déjà construit ($qt_prefix)"
    return
  fi
  cmake -G Ninja -S "$cache/src/qtbase-everywhere-src-$qt_version" -B "$cache/qt-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${qt_options[@]}"
  nice cmake --build "$cache/qt-build" -j "$jobs"
  cmake --install "$cache/qt-build"
  echo "$wanted" > "$stamp"
}

# libmdb without GLib (its own small replacement, fakeglib), with the iconv calls it needs
# (packaging/windows/iconv) and taking UTF-8 paths (packaging/windows/utf8-paths): a DLL, and a
# pkg-config file for the program's build.
build_mdbtools() {
  local tarball source_dir work=$cache/build/mdbtools
  local own_sources=("$root"/packaging/windows/iconv/iconv.[ch] "$root"/packaging/windows/utf8-paths/utf8-paths.[ch])
  tarball=$(ls "$cache"/src/mdbtools_*.orig.tar.* | sort -V | tail -1)
  local stamp="$(basename "$tarball") $(cat "${own_sources[@]}" | md5sum)"
  if [ -f "$deps_prefix/bin/libmdb-3.dll" ] && [ "$(cat "$deps_prefix/.mdbtools" 2>/dev/null)" = "$stamp" ]; then
    echo "libmdb pour Windows : déjà construite"
    return
  fi
  rm -rf "$work"
  mkdir -p "$work" "$deps_prefix/bin" "$deps_prefix/lib/pkgconfig" "$deps_prefix/include"
  tar xf "$tarball" -C "$work"
  source_dir=$(ls -d "$work"/mdbtools-*)
  local mdb_version=${source_dir##*/mdbtools-}
  sed -e 's/@HAVE_ICONV_H@/1/' -e 's/@HAVE_XLOCALE_H@/0/' -e 's/@GLIB_INCLUDE_HEADER@/mdbfakeglib.h/' \
      -e 's/@LOCALE_T@/_locale_t/' "$source_dir/include/mdbtools.h.in" > "$deps_prefix/include/mdbtools.h"
  sed -e 's/@PACKAGE@/mdbtools/' -e "s/@VERSION@/$mdb_version/" "$source_dir/include/mdbver.h.in" > "$source_dir/include/mdbver.h"
  cp "$source_dir/include/mdbfakeglib.h" "$root/packaging/windows/iconv/iconv.h" "$deps_prefix/include/"
  local objects=() file object
  for file in "$source_dir"/src/libmdb/*.c "$root/packaging/windows/iconv/iconv.c" "$root/packaging/windows/utf8-paths/utf8-paths.c"; do
    object=$work/$(basename "$(dirname "$file")")-$(basename "$file" .c).o
    $cc -O2 -DHAVE_ICONV -DICONV_CONST= -DTLS=__thread -I"$deps_prefix/include" -I"$source_dir/include" \
      -include "$root/packaging/windows/utf8-paths/utf8-paths.h" -c "$file" -o "$object"
    objects+=("$object")
  done
  $cc -shared -o "$deps_prefix/bin/libmdb-3.dll" "${objects[@]}" \
    -Wl,--out-implib,"$deps_prefix/lib/libmdb.dll.a" -static-libgcc
  cat > "$deps_prefix/lib/pkgconfig/libmdb.pc" <<PC
prefix=$deps_prefix
Name: libmdb
Description: MDB Tools library (MinGW build)
Version: $mdb_version
Libs: -L\${prefix}/lib -lmdb
Cflags: -I\${prefix}/include
PC
  echo "$stamp" > "$deps_prefix/.mdbtools"
}

# SQLite: the amalgamation, made from Debian's source package by its own build, then compiled
# as a DLL with the MinGW compiler.
build_sqlite() {
  local tarball work=$cache/build/sqlite
  tarball=$(ls "$cache"/src/sqlite3_*.orig.tar.xz | grep -v www | sort -V | tail -1)
  local flags=(-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA)
  local stamp="$(basename "$tarball") ${flags[*]}"
  if [ -f "$deps_prefix/bin/sqlite3.dll" ] && [ "$(cat "$deps_prefix/.sqlite" 2>/dev/null)" = "$stamp" ]; then
    echo "SQLite pour Windows : déjà construite"
    return
  fi
  rm -rf "$work"
  mkdir -p "$work/amalgamation" "$deps_prefix/bin" "$deps_prefix/lib" "$deps_prefix/include"
  tar xJf "$tarball" -C "$work"
  (cd "$work/amalgamation" && "$(ls -d "$work"/sqlite3-*)/configure" --disable-tcl >/dev/null && make -s sqlite3.c)
  $cc "${flags[@]}" -shared -o "$deps_prefix/bin/sqlite3.dll" "$work/amalgamation/sqlite3.c" \
    -Wl,--out-implib,"$deps_prefix/lib/libsqlite3.dll.a" -static-libgcc
  cp "$work/amalgamation/sqlite3.h" "$work/amalgamation/sqlite3ext.h" "$deps_prefix/include/"
  echo "$stamp" > "$deps_prefix/.sqlite"
}

# The program and its reader, without the test programs and tools (they need Qt Test and the
# Linux libraries).
build_program() {
  # The compilers' toolchain, with Qt's and the libraries' folders among the places searched.
  mkdir -p "$build_dir"
  cat > "$build_dir/toolchain.cmake.new" <<CMAKE
include("$toolchain")
list(APPEND CMAKE_FIND_ROOT_PATH "$qt_prefix" "$deps_prefix")
CMAKE
  replace_if_changed "$build_dir/toolchain.cmake"
  PKG_CONFIG_LIBDIR=$deps_prefix/lib/pkgconfig \
  cmake -G Ninja -S "$root" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$build_dir/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DVF_BUILD_TESTS=OFF -DVF_TEST_PROGRAM=ON >/dev/null
  nice cmake --build "$build_dir" -j "$jobs"
}

# The folder that runs where it is unpacked, and its zip.
make_package() {
  local out=$build_dir/$package
  rm -rf "$out"
  mkdir -p "$out/platforms" "$out/sqldrivers" "$out/styles" "$out/schema"
  cp "$build_dir/src/app/velquor-fusion.exe" "$build_dir/src/app/velquor-fusion-stage.exe" "$out/"
  cp "$qt_prefix"/bin/Qt6Core.dll "$qt_prefix"/bin/Qt6Gui.dll "$qt_prefix"/bin/Qt6Widgets.dll "$qt_prefix"/bin/Qt6Sql.dll "$out/"
  cp "$qt_prefix/plugins/platforms/qwindows.dll" "$out/platforms/"
  cp "$qt_prefix/plugins/sqldrivers/qsqlodbc.dll" "$out/sqldrivers/"
  if [ -d "$qt_prefix/plugins/styles" ]; then cp "$qt_prefix"/plugins/styles/*.dll "$out/styles/"; else rmdir "$out/styles"; fi
  cp "$deps_prefix/bin/libmdb-3.dll" "$deps_prefix/bin/sqlite3.dll" "$out/"
  local dll
  for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$($target-g++-posix -print-file-name=$dll)" "$out/" 2>/dev/null \
      || cp "$(find /usr/lib/gcc/$target /usr/$target/lib -name $dll | grep -v win32 | head -1)" "$out/"
  done
  cp "$root"/schema/*.sql "$out/schema/"
  # Qt's own French texts (the message boxes' buttons), as on Linux: the same file serves everywhere.
  mkdir -p "$out/translations"
  cp /usr/share/qt6/translations/qtbase_fr.qm "$out/translations/"
  printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\n' > "$out/qt.conf"
  sed "s/@VERSION@/$version/" "$root/packaging/windows/LISEZMOI.txt" | sed 's/$/\r/' > "$out/LISEZMOI.txt"
  $target-strip --strip-unneeded "$out"/*.exe "$out"/*.dll "$out"/*/*.dll
  rm -f "$root/$package.zip"
  (cd "$build_dir" && zip -qr9 "$root/$package.zip" "$package")
  echo "$package.zip : $(du -k "$root/$package.zip" | cut -f1) Kio"
}

# The installer of a package folder: an MSI made by wixl from packaging/windows/velquor-fusion.wxs
# and the list of the folder's files (wixl-heat). wixl reads the files at paths relative to the
# current folder: it runs from /.
build_installer() {
  local msi_version=$1 folder=$2 output=$3
  local files=${output%.msi}-files.wxs
  (cd "$folder" && find . -type f | LC_ALL=C sort | sed 's|^\./|package/|') \
    | wixl-heat --prefix package/ --directory-ref INSTALLDIR --var var.SourceDir --component-group ProgramFiles > "$files"
  (cd / && wixl --arch x64 -D Version="$msi_version" -D Win64=yes -D SourceDir="${folder#/}" \
     -D Icon="${build_dir#/}/packaging/windows/velquor-fusion.ico" \
     -o "$output" "$root/packaging/windows/velquor-fusion.wxs" "$files")
  rm -f "$files"
}

make_installer() {
  build_installer "$version" "$build_dir/$package" "$root/$package.msi"
  echo "$package.msi : $(du -k "$root/$package.msi" | cut -f1) Kio"
}

build_all() {
  local start=$SECONDS
  step "Paquets Debian" install_packages
  step "Sources" fetch_sources
  write_toolchain
  step "Qt $qt_version" build_qt
  step "libmdb" build_mdbtools
  step "SQLite" build_sqlite
  step "Programme" build_program
  step "Archive" make_package
  step "Installateur" make_installer
  echo "== Total : $((SECONDS - start)) s"
}

# --- Tests under Wine -------------------------------------------------------------------------
# The zip is unpacked and run under Wine, and the MSI installed there; each result is compared with the Linux build's (build/,
# built when missing) on the same input. Wine's ODBC hands the calls to the host's unixODBC, so
# the Windows program writes into SQLite through the host's SQLite3 driver.

failures=0
result() {
  if [ "$1" = 0 ]; then echo "PASS $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

wine_run() {
  WINEPREFIX=$cache/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" wine "$@"
}

# The host's SQLite3 ODBC driver, under the name the settings file gives.
register_sqlite_driver() {
  if ! odbcinst -q -d -n SQLite3 >/dev/null 2>&1; then
    printf '[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=%s\nSetup=%s\n' \
      "$(dpkg -L libsqliteodbc | grep 'libsqlite3odbc.so$' | head -1)" \
      "$(dpkg -L libsqliteodbc | grep 'libsqlite3odbc.so$' | head -1)" > /tmp/vf-sqlite3-odbc.ini
    $SUDO odbcinst -i -d -f /tmp/vf-sqlite3-odbc.ini >/dev/null
  fi
}

# A generated practice and its empty SQLite destination, in folder $1 (whose Base names the
# database at its Unix path).
make_destination() {
  local folder=$1
  "$root/build/tools/make-practice/make-practice" --out "$folder/practice" --patients "${VF_WINDOWS_PATIENTS:-200}" --seed 1 >/dev/null
  sqlite3 "$folder/talmerosin.db" < "$root/schema/sqlite.sql"
  printf '[DBKERNEL]\nDatabaseName=%s\nServerName=localhost\nUserName=sa\nSAPW=\n' "$folder/talmerosin.db" \
    > "$folder/practice/Base/Kestrune.ver"
}

# Every destination table's rows, sorted, and every copied letter with its checksum.
dump_destination() {
  local folder=$1 table
  for table in $(sqlite3 "$folder/talmerosin.db" "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"); do
    echo "== $table"
    sqlite3 -csv "$folder/talmerosin.db" "SELECT * FROM \"$table\"" | LC_ALL=C sort
  done
  echo "== LETTERS"
  (cd "$folder/practice/Base" && find LETTERS -type f | LC_ALL=C sort | xargs -r md5sum)
}

# The installed versions of the program, one "product-code version" line each, from the list of
# installed programs of Windows' registry.
installed_products() {
  wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { code = $0; sub(/.*\\/, "", code); name = ""; version = "" }
    $1 == "DisplayName" { name = $0; sub(/^ *DisplayName +REG_SZ +/, "", name) }
    $1 == "DisplayVersion" { version = $3 }
    name == "Programme de fusion" && version != "" { print code, version; name = "" }'
}

run_tests() {
  local work=$cache/test
  local settings='[Destination]\r\nDriver=SQLite3\r\nOptions=SyncPragma=NORMAL;JournalMode=WAL\r\n'
  [ -x "$root/build/src/app/velquor-fusion" ] && [ -x "$root/build/tools/make-practice/make-practice" ] \
    || "$root/scripts/build.sh" build
  register_sqlite_driver
  rm -rf "$work"
  mkdir -p "$work/linux-program" "$work/linux" "$work/windows"
  unzip -q "$root/$package.zip" -d "$work"
  local exe=$work/$package/velquor-fusion.exe linux=$work/linux-program/velquor-fusion
  cp "$root/build/src/app/velquor-fusion" "$root/build/src/app/velquor-fusion-stage" "$work/linux-program/"
  [ -d "$cache/wineprefix" ] || wine_run wineboot -i >/dev/null 2>&1

  # --version
  local expected got
  expected=$("$linux" --version)
  got=$(wine_run "$exe" --version 2>/dev/null | tr -d '\r') || true
  [ "$got" = "$expected" ]; result $? "--version : $got"

  # --export: the reader process under Windows, the CSV byte for byte as on Linux; every table
  # of the fixture, and two of a generated practice.
  make_destination "$work/linux"
  make_destination "$work/windows"
  local source table nwind=$root/tests/source/data/nwind.mdb sources=()
  while IFS= read -r table; do sources+=("$nwind:$table"); done < <(mdb-tables -1 "$nwind")
  for source in "${sources[@]}" "$work/linux/practice/V3.mdb:GLB PATIENT" "$work/linux/practice/V3.mdb:COU COURRIER GENERE"; do
    table=${source##*:}
    source=${source%:*}
    "$linux" --export "$source" "$table" > "$work/export-linux.csv" 2>/dev/null
    wine_run "$exe" --export "$(wine_run winepath -w "$source" 2>/dev/null)" "$table" > "$work/export-windows.csv" 2>/dev/null
    [ -s "$work/export-linux.csv" ] && cmp -s "$work/export-linux.csv" "$work/export-windows.csv"
    result $? "--export $(basename "$source") $table : $(wc -l < "$work/export-windows.csv") lignes, identiques à Linux"
  done

  # Names outside ASCII reach the reader whatever Windows' ANSI code page: the table "Umsätze"
  # from a folder with "é" (in the Western code page 1252) and from one with "Ł" (in none of
  # the Western ones), under the code pages 1252 and 1251 (Cyrillic, which has neither "ä" nor
  # "é"). Wine takes its code page from the locale, generated here into the cache folder.
  # A small program prints the code page that Wine gives.
  local locales=$cache/locales folder locale code_page
  [ -d "$locales/ru_RU.UTF-8" ] || { mkdir -p "$locales" && localedef -i ru_RU -f UTF-8 "$locales/ru_RU.UTF-8"; }
  printf '#include <windows.h>\n#include <stdio.h>\nint main(void) { printf("%%u", GetACP()); return 0; }\n' > "$work/code-page.c"
  $cc -o "$work/code-page.exe" "$work/code-page.c"
  "$linux" --export "$nwind" "Umsätze" > "$work/export-linux.csv" 2>/dev/null
  for folder in "Données" "Łódź"; do
    mkdir -p "$work/$folder"
    cp "$nwind" "$work/$folder/nwind-$folder.mdb"
    for locale in C.UTF-8:1252 ru_RU.UTF-8:1251; do
      code_page=$(LOCPATH=$locales LC_ALL=${locale%:*} wine_run "$work/code-page.exe" 2>/dev/null)
      LOCPATH=$locales LC_ALL=${locale%:*} wine_run "$exe" --export "$(wine_run winepath -w "$work/$folder/nwind-$folder.mdb" 2>/dev/null)" \
        "Umsätze" > "$work/export-windows.csv" 2>/dev/null
      [ "$code_page" = "${locale#*:}" ] && [ -s "$work/export-linux.csv" ] && cmp -s "$work/export-linux.csv" "$work/export-windows.csv"
      result $? "--export $folder\\nwind-$folder.mdb Umsätze, page de code $code_page : $(wc -l < "$work/export-windows.csv") lignes, identiques à Linux"
    done
  done

  # A whole batch migration into SQLite, then the same on Linux: the same rows and letters.
  printf "$settings" > "$work/linux-program/velquor-fusion.INI"
  printf "$settings" > "$work/$package/velquor-fusion.INI"
  local linux_status=0 windows_status=0 p=$work/windows/practice
  "$linux" --batch --source "$work/linux/practice/V3.mdb" --letters "$work/linux/practice/COURRIER/" \
    --dest "$work/linux/practice/Base/" > "$work/batch-linux.txt" 2>&1 || linux_status=$?
  wine_run "$exe" --batch --source "$(wine_run winepath -w "$p/V3.mdb")" \
    --letters "$(wine_run winepath -w "$p/COURRIER")\\" --dest "$(wine_run winepath -w "$p/Base")\\" \
    > "$work/batch-windows.txt" 2>&1 || windows_status=$?
  [ "$windows_status" = "$linux_status" ]
  result $? "--batch : statut $windows_status (Linux : $linux_status)"
  grep '^  ' "$work/batch-linux.txt" > "$work/summary-linux.txt" || true
  tr -d '\r' < "$work/batch-windows.txt" | grep '^  ' > "$work/summary-windows.txt" || true
  [ -s "$work/summary-linux.txt" ] && cmp -s "$work/summary-linux.txt" "$work/summary-windows.txt"
  result $? "--batch : bilan par type d'enregistrement identique à Linux ($(grep -o 'Total : .*' "$work/summary-windows.txt"))"
  dump_destination "$work/linux" > "$work/rows-linux.txt"
  dump_destination "$work/windows" > "$work/rows-windows.txt"
  [ "$(grep -c '^== ' "$work/rows-linux.txt")" -gt 1 ] && diff -q "$work/rows-linux.txt" "$work/rows-windows.txt" >/dev/null
  result $? "--batch : lignes de chaque table et courriers identiques à Linux ($(grep -vc '^== ' "$work/rows-windows.txt") lignes, $(find "$p/Base/LETTERS" -type f | wc -l) courriers)"
  local linksfiles
  linksfiles=$(ls "$work/$package/LinksTables" 2>/dev/null | wc -l)
  [ "$linksfiles" -gt 0 ]; result $? "--batch : tables de liens dans le dossier du programme ($linksfiles fichiers)"
  wine_run "$exe" --batch --source "$(wine_run winepath -w "$p/V3.mdb")" \
    --letters "$(wine_run winepath -w "$p/COURRIER")\\" --dest "$(wine_run winepath -w "$p/Base")\\" \
    > "$work/batch-windows-2.txt" 2>&1 || true
  dump_destination "$work/windows" > "$work/rows-windows-2.txt"
  cmp -s "$work/rows-windows.txt" "$work/rows-windows-2.txt"
  result $? "--batch relancé : rien n'est importé deux fois"

  # --verify with its report, twice (the second replaces the first, an earlier report of ours).
  local report=$work/apres.html verify_status=0 verify_again=0
  "$linux" --verify --source "$work/linux/practice/V3.mdb" --letters "$work/linux/practice/COURRIER/" \
    --dest "$work/linux/practice/Base/" > "$work/verify-linux.txt" 2>&1 || true
  wine_run "$exe" --verify --source "$(wine_run winepath -w "$p/V3.mdb")" --letters "$(wine_run winepath -w "$p/COURRIER")\\" \
    --dest "$(wine_run winepath -w "$p/Base")\\" --report "$(wine_run winepath -w "$report")" > "$work/verify-windows.txt" 2>&1 \
    || verify_status=$?
  wine_run "$exe" --verify --source "$(wine_run winepath -w "$p/V3.mdb")" --letters "$(wine_run winepath -w "$p/COURRIER")\\" \
    --dest "$(wine_run winepath -w "$p/Base")\\" --report "$(wine_run winepath -w "$report")" > /dev/null 2>&1 \
    || verify_again=$?
  sed -n '/^Enregistrements/,/^Total/p' "$work/verify-linux.txt" > "$work/verify-table-linux.txt"
  tr -d '\r' < "$work/verify-windows.txt" | sed -n '/^Enregistrements/,/^Total/p' > "$work/verify-table-windows.txt"
  [ "$verify_status" = 0 ] && [ "$verify_again" = 0 ] && [ -s "$work/verify-table-linux.txt" ] \
    && cmp -s "$work/verify-table-linux.txt" "$work/verify-table-windows.txt" && head -c 15 "$report" | grep -q '<!DOCTYPE html'
  result $? "--verify --report, deux fois : migration complète, tableau identique à Linux, rapport écrit puis remplacé"

  # The lock of the link tables (LockFileEx): a run held at its first record keeps a second one out.
  # Both runs from a copy of the program's folder whose program is the test variant, which holds.
  local hold=$work/hold first_pid first_status=0 second_status=0 held=$work/held
  rm -rf "$held"
  cp -r "$work/$package" "$held"
  cp "$build_dir/src/app/test-holds/velquor-fusion.exe" "$held/velquor-fusion.exe"
  local batch_args=(--batch --source "$(wine_run winepath -w "$p/V3.mdb")" --letters "$(wine_run winepath -w "$p/COURRIER")\\"
                    --dest "$(wine_run winepath -w "$p/Base")\\")
  VF_TEST_HOLD=record:1 VF_TEST_HOLD_FILE=$(wine_run winepath -w "$hold") wine_run "$held/velquor-fusion.exe" "${batch_args[@]}" \
    > "$work/batch-held.txt" 2>&1 &
  first_pid=$!
  for i in $(seq 1 600); do [ -e "$hold" ] && break; sleep 0.1; done
  wine_run "$held/velquor-fusion.exe" "${batch_args[@]}" > "$work/batch-refused.txt" 2>&1 || second_status=$?
  rm -f "$hold"
  wait "$first_pid" || first_status=$?
  [ "$second_status" = 2 ] && grep -q "sont utilisées par une importation en traitement par lots" "$work/batch-refused.txt" \
    && [ "$first_status" = 0 ]
  result $? "verrou des tables de liens : une deuxième importation est refusée pendant la première (statut $second_status)"

  # Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event): a fresh run stopped at its first
  # record ends unfinished (status 1), and the same command then finishes the migration.
  local stopped=$work/stopped stop_status=0 resume_status=0 program_pid
  mkdir -p "$stopped"
  make_destination "$stopped"
  cp -r "$work/$package" "$stopped/program"
  cp "$build_dir/src/app/test-holds/velquor-fusion.exe" "$stopped/program/velquor-fusion.exe"
  rm -rf "$stopped/program/LinksTables"
  local stop_args=(--batch --source "$(wine_run winepath -w "$stopped/practice/V3.mdb")"
                   --letters "$(wine_run winepath -w "$stopped/practice/COURRIER")\\"
                   --dest "$(wine_run winepath -w "$stopped/practice/Base")\\")
  VF_TEST_HOLD=record:1 VF_TEST_HOLD_FILE=$(wine_run winepath -w "$hold") wine_run "$stopped/program/velquor-fusion.exe" \
    "${stop_args[@]}" > "$work/batch-stopped.txt" 2>&1 &
  first_pid=$!
  for i in $(seq 1 600); do [ -e "$hold" ] && break; sleep 0.1; done
  program_pid=$(pgrep -f "^$stopped/program/velquor-fusion.exe" | head -1 || true)
  [ -n "$program_pid" ] && kill -INT "$program_pid"
  sleep 1
  rm -f "$hold"
  wait "$first_pid" || stop_status=$?
  wine_run "$stopped/program/velquor-fusion.exe" "${stop_args[@]}" > "$work/batch-resumed.txt" 2>&1 || resume_status=$?
  dump_destination "$stopped" > "$work/rows-stopped.txt"
  [ "$stop_status" = 1 ] && grep -q "Importation arrêtée à la demande" "$work/batch-stopped.txt" && [ "$resume_status" = 0 ] \
    && cmp -s "$work/rows-linux.txt" "$work/rows-stopped.txt"
  result $? "Ctrl-C : importation arrêtée entre deux lots (statut $stop_status), puis reprise (statut $resume_status) : mêmes lignes que Linux"

  # The program folder serves only when no one else may write in it: from a folder that every
  # user may write in (Wine makes its access list from the Unix permissions), the link tables
  # and the settings go to %LOCALAPPDATA%\velquor-fusion.
  local user_folder open=$work/open acl_status=0
  user_folder=$(wine_run winepath -u "$(wine_run cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')" 2>/dev/null)
  user_folder=${user_folder%/}/velquor-fusion
  rm -rf "$user_folder" "$open"
  mkdir -p "$open" "$user_folder"
  unzip -q "$root/$package.zip" -d "$open"
  chmod 0777 "$open/$package"
  printf "$settings" > "$user_folder/velquor-fusion.INI"
  VF_WINDOWS_PATIENTS=20 make_destination "$work/acl"
  local acl_args=(--batch --source "$(wine_run winepath -w "$work/acl/practice/V3.mdb")"
                  --letters "$(wine_run winepath -w "$work/acl/practice/COURRIER")\\"
                  --dest "$(wine_run winepath -w "$work/acl/practice/Base")\\")
  wine_run "$open/$package/velquor-fusion.exe" "${acl_args[@]}" > "$work/batch-open.txt" 2>&1 || acl_status=$?
  [ "$acl_status" = 0 ] && [ ! -e "$open/$package/LinksTables" ] && [ -n "$(ls "$user_folder/LinksTables" 2>/dev/null)" ]
  result $? "dossier du programme où tous peuvent écrire : tables de liens dans %LOCALAPPDATA%\\velquor-fusion (statut $acl_status)"

  # The installer: an earlier version (0.9.0, with a file that the current one no longer has)
  # installed, then upgraded in place by the current one, which is run and then removed.
  local msi=$root/$package.msi earlier=$work/earlier installed product shortcut msi_status=0 upgrade_status=0 remove_status=0
  installed=$(wine_run winepath -u 'C:\Program Files\velquor-fusion' 2>/dev/null)
  for product in $(installed_products | cut -d' ' -f1); do wine_run msiexec /x "$product" /qn >/dev/null 2>&1 || true; done
  rm -rf "$earlier"
  cp -r "$build_dir/$package" "$earlier"
  echo "ancien fichier" > "$earlier/ANCIEN.txt"
  build_installer 0.9.0 "$earlier" "$work/earlier.msi"
  wine_run msiexec /i "$(wine_run winepath -w "$work/earlier.msi")" /qn >/dev/null 2>&1 || msi_status=$?
  [ "$msi_status" = 0 ] && [ "$(installed_products | cut -d' ' -f2)" = 0.9.0 ] && [ -f "$installed/ANCIEN.txt" ]
  result $? "MSI 0.9.0 installé (msiexec /i /qn) dans $(wine_run winepath -w "$installed" 2>/dev/null)"
  wine_run msiexec /i "$(wine_run winepath -w "$msi")" /qn >/dev/null 2>&1 || upgrade_status=$?
  got=$(wine_run "$installed/velquor-fusion.exe" --version 2>/dev/null | tr -d '\r') || true
  shortcut=$(find "$cache/wineprefix/drive_c" -name "Programme de fusion.lnk" | head -1)
  [ "$upgrade_status" = 0 ] && [ "$(installed_products | cut -d' ' -f2)" = "$version" ] && [ ! -e "$installed/ANCIEN.txt" ] \
    && [ "$got" = "$expected" ] && [ -n "$shortcut" ]
  result $? "MSI $version installé par-dessus (msiexec /i /qn) : une seule version installée, l'ancienne remplacée, raccourci du menu Démarrer, --version : $got"
  wrestool -l --type=14 "$installed/velquor-fusion.exe" | grep -q group_icon \
    && wrestool -x --raw --type=16 "$installed/velquor-fusion.exe" | tr -d '\0' | grep -aq "FileVersion$version" \
    && wrestool -x --raw --type=16 "$installed/velquor-fusion-stage.exe" | tr -d '\0' | grep -aq "FileVersion$version"
  result $? "velquor-fusion.exe et velquor-fusion-stage.exe installés : version $version (ressource de version), icône du programme"
  local installed_status=0
  dump_destination "$work/acl" > "$work/rows-acl.txt"
  wine_run "$installed/velquor-fusion.exe" "${acl_args[@]}" > "$work/batch-installed.txt" 2>&1 || installed_status=$?
  dump_destination "$work/acl" > "$work/rows-acl-2.txt"
  [ "$installed_status" = 0 ] && [ ! -e "$installed/LinksTables" ] && cmp -s "$work/rows-acl.txt" "$work/rows-acl-2.txt"
  result $? "programme installé : tables de liens de %LOCALAPPDATA%\\velquor-fusion, pas du dossier Program Files ; rien d'importé deux fois (statut $installed_status)"
  wine_run msiexec /x "$(wine_run winepath -w "$msi")" /qn >/dev/null 2>&1 || remove_status=$?
  [ "$remove_status" = 0 ] && [ -z "$(installed_products)" ] && [ ! -e "$installed" ] && [ ! -e "$shortcut" ] \
    && ! wine_run reg query 'HKLM\Software\velquor-fusion' >/dev/null 2>&1 && [ -n "$(ls "$user_folder/LinksTables" 2>/dev/null)" ]
  result $? "MSI désinstallé (msiexec /x /qn) : dossier du programme, raccourci et clé de registre supprimés, tables de liens de %LOCALAPPDATA% gardées"

  # The window, under Xvfb, and its screenshot.
  local display=:$((90 + RANDOM % 9)) xvfb_pid
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  sleep 2
  DISPLAY=$display wine_run "$exe" >/dev/null 2>&1 &
  local shown=1 i
  for i in $(seq 1 60); do
    sleep 1
    if DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q "Importation des données"; then shown=0; break; fi
  done
  if [ $shown = 0 ]; then
    sleep 3
    DISPLAY=$display xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$root/docs/window-windows.png"
  fi
  result $shown "fenêtre ouverte sous Xvfb (docs/window-windows.png)"
  WINEPREFIX=$cache/wineprefix wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true

  echo "== $failures échec(s) ; détails dans $work"
  [ $failures = 0 ]
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    "") build_all ;;
    --test) build_all && step "Tests sous Wine" run_tests ;;
    *) echo "usage : $0 [--test]" >&2; exit 64 ;;
  esac
fi
