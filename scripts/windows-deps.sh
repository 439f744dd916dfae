#!/usr/bin/env bash
# Prepares what the mingw-w64 toolchain lacks for the 64-bit Windows build, from Debian's own
# packages and source packages: Boost.Filesystem (compiled from the boost1.74 source package
# against the installed Boost headers), SQLite (the amalgamation made from the sqlite3 source
# package), GoogleTest (from /usr/src/googletest), and an include folder that shows mingw only
# the header-only libraries of /usr/include (Boost, RapidJSON), not glibc's headers.
# Usage: scripts/windows-deps.sh DEPS_DIR
# Everything lands in DEPS_DIR (include/, lib/); a second run finds it there and returns at once.
set -euo pipefail

deps=${1:?usage: windows-deps.sh DEPS_DIR}
mkdir -p "$deps"
deps=$(cd "$deps" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar
flags=(-O2 -g0)
jobs=$(nproc)

mkdir -p "$deps/include" "$deps/lib" "$deps/src"
ln -sfn /usr/include/boost "$deps/include/boost"
ln -sfn /usr/include/rapidjson "$deps/include/rapidjson"

# Source packages need a deb-src entry; it is there only while they are fetched.
fetch_sources() {
  local sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  local list=/etc/apt/sources.list.d/varnock-windows-src.sources
  $sudo tee "$list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local status=0
  {
    $sudo apt-get update -qq &&
      (cd "$deps/src" && apt-get source --download-only -qq "$@")
  } || status=$?
  $sudo rm -f "$list"
  $sudo apt-get update -qq || true
  return $status
}

need=()
[ -f "$deps/lib/libboost_filesystem.a" ] || need+=(boost1.74)
[ -f "$deps/lib/libsqlite3.a" ] || need+=(sqlite3)
[ ${#need[@]} -eq 0 ] || [ -n "$(ls "$deps/src"/*.orig.tar.* 2>/dev/null)" ] || fetch_sources "${need[@]}"

# Boost.Filesystem: its .cpp files compiled straight (b2 does not bootstrap on the repacked
# source); the headers are the installed ones, the same version.
if [ ! -f "$deps/lib/libboost_filesystem.a" ]; then
  echo "windows-deps: Boost.Filesystem"
  work="$deps/src/boost"
  rm -rf "$work" && mkdir -p "$work"
  tar -xf "$deps"/src/boost1.74_*.orig.tar.* -C "$work" --strip-components=1 --wildcards \
    '*/libs/filesystem/src/*'
  objects=()
  for source in "$work"/libs/filesystem/src/*.cpp; do
    object="$work/$(basename "$source" .cpp).o"
    "$cxx" "${flags[@]}" -std=c++17 -I"$deps/include" -DBOOST_FILESYSTEM_STATIC_LINK=1 \
      -DBOOST_FILESYSTEM_SOURCE -DBOOST_ALL_NO_LIB -c "$source" -o "$object" &
    objects+=("$object")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  done
  wait
  "$ar" rcs "$deps/lib/libboost_filesystem.a" "${objects[@]}"
fi

# SQLite: the amalgamation is generated on this machine (needs tclsh), then compiled by mingw.
if [ ! -f "$deps/lib/libsqlite3.a" ]; then
  echo "windows-deps: SQLite"
  work="$deps/src/sqlite"
  rm -rf "$work" && mkdir -p "$work"
  tar -xf "$deps"/src/sqlite3_*.orig.tar.* -C "$work" --strip-components=1
  (cd "$work" && ./configure -q >/dev/null && make -s sqlite3.c sqlite3.h >/dev/null)
  "$cc" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$work/sqlite3.c" \
    -o "$work/sqlite3.o"
  "$ar" rcs "$deps/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$work/sqlite3.h" "$work/sqlite3ext.h" "$deps/include/"
fi

# GoogleTest from Debian's source copy, built with the same toolchain file as the project.
if [ ! -f "$deps/lib/libgtest.a" ]; then
  echo "windows-deps: GoogleTest"
  cmake -S /usr/src/googletest -B "$deps/src/googletest" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$deps" \
    -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build "$deps/src/googletest" -j"$jobs" --target install >/dev/null
fi
