#!/bin/sh
# The Windows shell end to end under Wine, on copies of the demo home whose path holds blanks and
# non-ASCII letters: script --json answers, isdct-state changes the drives there, serve answers
# /metrics on 127.0.0.1, a tool that hangs is ended at the time limit, the shell going on without
# it, and a serve killed from outside takes its hung tool with it.
# Usage: shell_wine_test.sh WINE VARNOCK_HOST_EXE DEMO_HOME ISDCT_STATE_EXE
set -eu
wine=$1 shell=$2 demo=$3 state=$4
work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

fresh_home() {
  rm -rf "$1" && cp -r "$demo" "$1" && rm -f "$1/host.db"
}

home="$work/Host Home Ärger café œuvre"
fresh_home "$home"

# script --json: one JSON line per command, Initialize finds the demo drives.
out=$(printf 'create\ninit\ntopology\ndeinit\nrelease\n' | "$wine" "$shell" --home "$home" --json script)
echo "$out" | grep -q '^{"cmd":"init","result":0,' || fail "init did not succeed: $out"
echo "$out" | grep -q '"adapterNumber"' || fail "no adapters: $out"
[ "$(echo "$out" | wc -l)" -eq 5 ] || fail "not one answer per command: $out"
[ -s "$home/host.db" ] || fail "no database in a home with blanks and non-ASCII letters"

# isdct-state saves the changed state in that home, and the plug-in sees one drive fewer.
"$wine" "$state" --home "$home" remove PHLE812300AB1P6AGN >/dev/null ||
  fail "isdct-state could not change the drives in a home with non-ASCII letters"
out=$(printf 'create\ninit\nrelease\n' | "$wine" "$shell" --home "$home" --json script)
[ "$(echo "$out" | grep -o '"adapterNumber"' | wc -l)" -eq 3 ] ||
  fail "the removed drive is still reported: $out"

# serve: /metrics on the loopback; it ends by itself (a killed Wine process would leave its tool
# runs behind).
port=$((20000 + $$ % 20000))
"$wine" "$shell" --home "$home" --seconds 30 serve --listen "127.0.0.1:$port" >"$work/serve.log" 2>&1 &
server=$!
metrics=
for _ in $(seq 1 120); do
  metrics=$(curl -sf --max-time 5 "http://127.0.0.1:$port/metrics" || true)
  case $metrics in *varnock_*) break ;; esac
  kill -0 "$server" 2>/dev/null || fail "serve ended: $(cat "$work/serve.log")"
  sleep 1
done
case $metrics in *varnock_*) ;; *) fail "no metrics from serve: $(cat "$work/serve.log")" ;; esac
wait "$server" || fail "serve did not end cleanly: $(cat "$work/serve.log")"
server=

# A hung tool: every run hangs; with a 2 s limit the job ends it and Initialize fails cleanly.
hung="$work/Hung Home"
fresh_home "$hung"
"$wine" "$state" --home "$hung" tool-fault hang >/dev/null
started=$(date +%s)
out=$(printf 'create\ninit\nrelease\n' |
  "$wine" "$shell" --home "$hung" --json --tool-timeout 2 script 2>"$work/hung.err" || true)
took=$(($(date +%s) - started))
echo "$out" | grep -q '"cmd":"release","result":0' || fail "the shell did not go on after the hung tool: $out"
echo "$out" | grep -q '"cmd":"init","result":0,' && fail "init succeeded with a hung tool: $out"
[ "$took" -ge 2 ] || fail "the hung tool was not waited for up to its limit ($took s)"
# Nothing of the tool is left running (its Windows path holds the scratch folder's name).
tool_running() { pgrep -f "$(basename "$work").*isdct" >/dev/null; }
if tool_running; then fail "a tool process outlived its run"; fi

# serve killed from outside while its tool hangs: the job's handle goes with the killed process,
# and closing it ends the tool. The waits are bounds that only a failure reaches.
"$wine" "$shell" --home "$hung" --tool-timeout 600 serve --listen "127.0.0.1:$port" \
  >"$work/killed.log" 2>&1 &
server=$!
for _ in $(seq 1 120); do tool_running && break; sleep 1; done
tool_running || fail "serve did not start its tool: $(cat "$work/killed.log")"
kill -KILL "$server"
wait "$server" 2>/dev/null || true
server=
for _ in $(seq 1 60); do tool_running || break; sleep 1; done
if tool_running; then fail "the hung tool outlived the serve killed from outside"; fi
echo "shell under Wine: all checks passed"
