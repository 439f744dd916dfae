#!/usr/bin/env bash
# script --json composes with jq: standard output holds JSON lines alone (each passes jq -e),
# object IDs survive as strings, sizes come in bytes whatever unit a drive shows, properties
# go by name, and a failed line makes the exit status 1.
# Usage: scripting_test.sh SHELL DEMO_HOME
set -euo pipefail
. "$(dirname "$0")/lib.sh"
shell=$1 demo_home=$2

copy_demo_home "$demo_home" "$work/home"
run() { "$shell" --home "$work/home" --json --time-scale 50 script <"$1" >"$work/out" 2>"$work/err"; }

cat >"$work/good" <<'SCRIPT'
create
init
set-adapter-ids
topology
get adapter:CVFT612300AB1P6DGN Temperature
get adapter:PHKS745000AB375AGN data-written
deinit
release
SCRIPT
run "$work/good" || fail "a script whose lines all succeed exits $?: $(cat "$work/err")"
[ "$(wc -l <"$work/out")" -eq 8 ] || fail "expected 8 answers: $(cat "$work/out")"
while IFS= read -r line; do
  jq -e 'type == "object" and (.cmd | type == "string") and .result == 0' <<<"$line" >/dev/null ||
    fail "not a successful JSON answer: $line"
done <"$work/out"
grep -q "adapter count is 4" "$work/err" || fail "the plug-in's own line is not on standard error"

# Every object ID is a string that a parent lists among its children, digit for digit.
jq -se '.[] | select(.cmd == "topology") | [.objects[] | .id] as $ids
       | ($ids | all(type == "string")) and
         ([.objects[] | .children[]] - $ids == []) and (.objects | length == 9)' \
  "$work/out" >/dev/null || fail "object IDs are not exact strings"

# Written data in bytes for every adapter, whether it shows TB or PB.
written=$(jq -r 'select(.cmd == "topology") | .objects[] | select(.name | startswith("adapter:"))
                 | .properties[] | select(.name == "Data written") | "\(.unitName) \(.bytes)"' \
            "$work/out" | sort | tr '\n' ' ')
[ "$written" = "PB 1200000000000000 PB 2400000000000000 TB 120000000000000 TB 300000000000000 " ] ||
  fail "written bytes: $written"
[ "$(jq -r 'select(.cmd == "get") | .properties[0] | "\(.name) \(.celsius // .bytes)"' "$work/out" |
     tr '\n' ' ')" = "Temperature 31 Data written 1200000000000000 " ] || fail "get by name"

# One failed line: the other answers still come, and the exit status says so.
printf 'create\nget adapter:NOPE Temperature\nrelease\n' >"$work/bad"
if run "$work/bad"; then fail "a script with a failed line exits 0"; fi
[ "$(jq -c '[.cmd, .result]' "$work/out" | tr '\n' ' ')" = '["create",0] ["get",-1] ["release",0] ' ] ||
  fail "answers of the failing script: $(cat "$work/out")"
echo "ok"
