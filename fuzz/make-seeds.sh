#!/usr/bin/env bash
# Rebuilds the seed corpora in fuzz/corpus/ from the test fixtures: the tool stand-in's answers
# for every fixture drive, the rows the plug-in stores for them, and the demo's settings.
# Usage: fuzz/make-seeds.sh BUILD_DIR   (a normal build with the stand-in and the host shell)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
tool="$build/tools/isdct/isdct.exe"
corpus="$here/corpus"
fixtures="$here/../tests/fixtures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$corpus"/{inventory,health,version,orm_rows,config}_fuzzer

for fixture in "$fixtures"/*.json "$here/../demo/drives.json"; do
  name=$(basename "$fixture" .json)
  [ "$fixture" = "$here/../demo/drives.json" ] && name=demo
  export ISDCT_STATE="$fixture"
  "$tool" show -all -o json -vedidevu > "$corpus/inventory_fuzzer/$name" || true
  "$tool" version -o json > "$corpus/version_fuzzer/$name" || true
  indexes=$(python3 -c "import json, sys
drives = json.load(open(sys.argv[1]))['drives']
print(' '.join(str(d.get('index', i)) for i, d in enumerate(drives)))" "$fixture")
  for index in $indexes; do
    {
      "$tool" show -o json -vedidevu "$index" -nvmelog SmartHealthInfo || true
      printf '\x1e'
      "$tool" show -o json -vedidevu "$index" -nvmelog TemperatureStatistics || true
      printf '\x1e'
      "$tool" show -o json -smart -vedidevu "$index" || true
      printf '\x1e'
      "$tool" show -all -o json -vedidevu "$index" || true
    } > "$corpus/health_fuzzer/$name-$index"
  done
done
unset ISDCT_STATE
printf 'No device selected\n' > "$corpus/version_fuzzer/no-device"

# Rows as the plug-in stores them: a demo home initialised by the host shell.
cp -r "$build/demo-home" "$work/home"
cp "$fixtures/several-drives.json" "$work/home/bin/drives.json"
for i in 3 4 5 6 7 8 9; do
  mkdir -p "$work/home/pci/0000:0$i:00.0"
  echo 0x8086 > "$work/home/pci/0000:0$i:00.0/vendor"
  echo 0x0a54 > "$work/home/pci/0000:0$i:00.0/device"
done
printf 'create\ninit\nset-adapter-ids\ndeinit\nrelease\n' |
  "$build/tools/host/varnock-host" --home "$work/home" --time-scale 50 script > /dev/null
for table in Plugin Adapter PD; do
  sqlite3 -nullvalue NULL -separator $'\x1f' -newline $'\x1f' "$work/home/host.db" \
    "SELECT * FROM $table" | head -c -1 | tr '\037' '\000' > "$corpus/orm_rows_fuzzer/$table"
done

{ cat "$here/../demo/Varnock.ini"; printf '\x1e'; cat "$here/../demo/CustomOpts.ini"; } \
  > "$corpus/config_fuzzer/demo"
printf 'PollInterval = 15\r\n; note\r\nOther=1\r\n\x1eIntelPCIeTopologyRefreshRate=0' \
  > "$corpus/config_fuzzer/crlf"
