#!/usr/bin/env bash
# The Windows stage of the test command: installs mingw-w64 and Wine when missing, prepares the
# dependencies mingw lacks (cached in build-win/windows-deps, so a second run is quick), builds
# the Windows tree and runs its tests under Wine in a fresh, headless Wine prefix, whose
# wineserver is ended afterwards, also on failure.
# Usage: scripts/test-windows.sh [BUILD_DIR]   (default build-win)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build-win"}
started=$(date +%s)

"$here/scripts/setup.sh" --windows
"$here/scripts/windows-deps.sh" "$build/windows-deps"
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
  -DVARNOCK_WINDOWS_DEPS="$build/windows-deps" -DVARNOCK_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2

prefix=$(mktemp -d /tmp/varnock-wine.XXXXXX)
stop_wine() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap stop_wine EXIT
# Without its debugger Wine ends a crashing program with a failing status; with it, the status
# is 0 and CTest would count the crash as a pass.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
# The prefix is made once here, so that no test pays for it.
wineboot -i >/dev/null 2>&1 || true
(cd "$build" && ctest --output-on-failure -j2 --timeout 900)
echo "Windows stage: $(( $(date +%s) - started )) s"
