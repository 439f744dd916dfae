#!/usr/bin/env bash
# Installs the Debian packages that are missing, then configures and builds.
# Usage: scripts/setup.sh [--tests] [BUILD_DIR] [extra CMake options...]
#   without --tests: only what the build and the demo need; builds the shell, the plug-in, the
#                    tool stand-in and the demo home (the tests too when GoogleTest is there)
#   --tests:         also what the tests and benchmarks need (GoogleTest, Google Benchmark,
#                    Prometheus, Chromium, clang, jq, packaging tools); builds everything
#   --windows:       only installs what the Windows build and its tests under Wine need (mingw-w64,
#                    Wine, tcl and dpkg-dev for the dependencies, curl); builds nothing
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
tests=
windows=
if [ "${1:-}" = --tests ]; then
  tests=yes
  shift
elif [ "${1:-}" = --windows ]; then
  windows=yes
  shift
fi
build_dir=${1:-"$here/build"}
shift || true

packages=(g++ cmake make pkg-config libboost-dev libboost-filesystem-dev libboost-thread-dev
          rapidjson-dev libsqlite3-dev)
test_packages=(libgtest-dev libbenchmark-dev sqlite3 jq prometheus chromium
               qemu-system-x86 busybox-static nvme-cli cpio kmod udev
               clang-14 libclang-rt-14-dev dpkg-dev file)
windows_packages=(cmake make g++-mingw-w64-x86-64-posix wine wine64 tcl dpkg-dev curl
                  libboost-dev rapidjson-dev googletest procps)
[ -n "$tests" ] && packages+=("${test_packages[@]}")
[ -n "$windows" ] && packages=("${windows_packages[@]}")

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ -z "$windows" ] || exit 0

if [ -n "$tests" ]; then
  cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOCK_BUILD_TESTS=ON \
    "$@" >/dev/null
  cmake --build "$build_dir" -j"$(nproc)"
else
  # The demo needs no test; a tree configured for them keeps them while GoogleTest is there.
  options=()
  installed libgtest-dev || options+=(-DVARNOCK_BUILD_TESTS=OFF)
  cmake -S "$here" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "$@" >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target varnock-host
fi
