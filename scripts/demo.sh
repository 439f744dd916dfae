#!/usr/bin/env bash
# Installs what is missing, builds, and plays the demo: four drives, one heats up and cools
# down, one is removed and comes back. Installs only what the build and the demo need (the
# test command installs the rest). Extra arguments go to varnock-host.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
exec "$here/build/tools/host/varnock-host" --time-scale 20 "$@" demo
