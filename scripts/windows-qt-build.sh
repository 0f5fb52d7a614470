#!/usr/bin/env bash
# Builds the static Qt that the Windows build links (run by scripts/windows-qt.sh --build):
# Qt 6.4.2 (Core, Gui, Widgets, Sql, Test; the windows, offscreen and minimal platform
# plugins; the SQLite and PostgreSQL drivers; Fusion/Windows/WindowsVista styles) as static
# libraries for 64-bit Windows, cross-compiled with MinGW-w64 from Debian 12's source
# packages qt6-base, sqlite3 and postgresql-15 (libpq only), against the host Qt tools of
# Debian's qt6-base-dev (same version). About 40 minutes on 2 cores. Needs deb-src entries
# for bookworm and the bootstrap groups programs, windows and windows-qt.
#   scripts/windows-qt-build.sh PREFIX OUTPUT.tar.xz
set -euo pipefail
prefix=$1
out=$2
"$(dirname "$0")/bootstrap.sh" programs windows windows-qt
work=$(mktemp -d)
cd "$work"
apt-get source --download-only qt6-base=6.4.2+dfsg-10 sqlite3=3.40.1-2+deb12u2 postgresql-15
tar xf qt6-base_6.4.2+dfsg.orig.tar.xz
tar xf sqlite3_3.40.1.orig.tar.xz
tar xjf postgresql-15_*.orig.tar.bz2

# SQLite: Debian's qt6-base source leaves the bundled copy out; make the amalgamation from
# Debian's sqlite3 source and put it where Qt's driver expects it.
(mkdir sqlite3-3.40.1/bld && cd sqlite3-3.40.1/bld && ../configure --disable-tcl && make sqlite3.c)
mkdir -p qtbase-everywhere-src-6.4.2/src/3rdparty/sqlite
cp sqlite3-3.40.1/bld/sqlite3.c sqlite3-3.40.1/bld/sqlite3.h qtbase-everywhere-src-6.4.2/src/3rdparty/sqlite/

# libpq as one static library (its own objects plus pgcommon and pgport), headers only
# for clients, so that programs stay free of DLLs.
pg=$(ls -d postgresql-15.*/)
(cd "$pg" && ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --without-readline \
    --without-zlib --without-icu --without-openssl &&
  for d in src/include src/common src/port src/interfaces/libpq; do make -C "$d" install; done)
mkdir pgobj && (cd pgobj && x86_64-w64-mingw32-ar x "$prefix/lib/libpgcommon_shlib.a" &&
  mkdir port && cd port && x86_64-w64-mingw32-ar x "$prefix/lib/libpgport_shlib.a")
rm -f "$prefix/lib/libpq.a" "$prefix/lib/libpq.dll" "$prefix/bin/libpq.dll" "$prefix"/lib/libpg*.a
x86_64-w64-mingw32-ar rcs "$prefix/lib/libpq.a" $(ls "$pg"src/interfaces/libpq/*.o | grep -v win32ver.o) \
  pgobj/*.o pgobj/port/*.o
rm -rf "$prefix/include/postgresql" "$prefix/include/libpq"
sed -i 's/^Libs.private:.*/Libs.private: -lshell32 -lws2_32 -lsecur32/' "$prefix/lib/pkgconfig/libpq.pc"
# libpq carries its own small pthread emulation for Windows with its own types; rename it
# so that it cannot clash with winpthreads, which the POSIX-thread compilers link.
for f in pthread_getspecific pthread_mutex_init pthread_mutex_lock pthread_mutex_unlock \
         pthread_self pthread_setspecific; do echo "$f pq_$f"; done >pq-syms.map
x86_64-w64-mingw32-objcopy --redefine-syms=pq-syms.map "$prefix/lib/libpq.a"
cat >mingw.cmake <<CMAKE
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
# The Debian source leaves out some bundled third-party code (wintab, harfbuzz): tablet
# input and HarfBuzz shaping are switched off.
cmake -S qtbase-everywhere-src-6.4.2 -B build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/mingw.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=OFF -DFEATURE_sql_psql=ON \
  -DFEATURE_sql_odbc=OFF -DFEATURE_sql_mysql=OFF \
  -DPostgreSQL_INCLUDE_DIR="$prefix/include" -DPostgreSQL_LIBRARY="$prefix/lib/libpq.a" \
  -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DINPUT_opengl=no \
  -DFEATURE_vulkan=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
  -DFEATURE_harfbuzz=OFF -DFEATURE_freetype=OFF -DFEATURE_jpeg=OFF -DFEATURE_icu=OFF \
  -DFEATURE_tabletevent=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_doubleconversion=OFF
cmake --build build
cmake --install build
# A static program that uses the PostgreSQL driver also needs libpq's system libraries.
sed -i 's#\\$<LINK_ONLY:PostgreSQL::PostgreSQL>;#\\$<LINK_ONLY:PostgreSQL::PostgreSQL>;\\$<LINK_ONLY:secur32>;\\$<LINK_ONLY:ws2_32>;\\$<LINK_ONLY:shell32>;#' \
  "$prefix/lib/cmake/Qt6Sql/Qt6QPSQLDriverPluginTargets.cmake"
tar cJf "$out" --owner=0 --group=0 -C "$(dirname "$prefix")" "$(basename "$prefix")"
rm -rf "$work"
