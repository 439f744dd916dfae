#!/usr/bin/env bash
# The Grafana dashboard against a real Prometheus that scraped a demo serve: every query
# evaluates, names only metrics that /metrics serves, and returns data.
# Usage: dashboard_test.sh SHELL DEMO_HOME ISDCT_STATE DASHBOARD
set -euo pipefail
. "$(dirname "$0")/lib.sh"
shell=$1 demo_home=$2 isdct_state=$3 dashboard=$4

copy_demo_home "$demo_home" "$work/home"
start_serve "$shell" "$work/home" "$work/serve.out" --time-scale 20 || fail "serve did not start"
served=$(http_get "$port" /metrics | sed -n 's/^# TYPE \([^ ]*\) .*/\1/p')
[ -n "$served" ] || fail "/metrics served no family"

prom_port=$(free_port) || fail "no free port"
cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: varnock
    static_configs:
      - targets: ['127.0.0.1:$port']
YAML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >"$work/prometheus.log" 2>&1 &
pids+=($!)
url="http://127.0.0.1:$prom_port"

# A drive heats up, so that events are counted; then wait until Prometheus holds a few samples
# of them (bounded).
"$isdct_state" --home "$work/home" set CVFT612300AB1P6DGN temperature=86 >/dev/null
ready=
for try in $(seq 1 90); do
  if [ -n "$(promtool query instant "$url" 'count_over_time(varnock_events_total[1m]) >= 3' 2>/dev/null)" ]; then
    ready=yes
    break
  fi
  sleep 1
done
[ -n "$ready" ] || fail "Prometheus scraped no events within 90 s: $(cat "$work/prometheus.log")"

# Grafana's own variables stand for every host and a one-minute window.
failures=0
count=0
while IFS= read -r expr; do
  count=$((count + 1))
  query=${expr//\$instance/.*}
  query=${query//\$__rate_interval/1m}
  for name in $(grep -o 'varnock_[a-z0-9_]*' <<<"$query" | sort -u); do
    if ! grep -qx "$name" <<<"$served"; then
      echo "FAIL: $expr names $name, which /metrics does not serve" >&2
      failures=$((failures + 1))
    fi
  done
  if ! result=$(promtool query instant "$url" "$query" 2>&1); then
    echo "FAIL: $expr does not evaluate: $result" >&2
    failures=$((failures + 1))
  elif [ -z "$result" ]; then
    echo "FAIL: $expr returns nothing" >&2
    failures=$((failures + 1))
  fi
done < <(jq -r '.. | objects | select(has("expr")) | .expr' "$dashboard")

[ "$count" -gt 0 ] || fail "the dashboard holds no query"
[ "$failures" -eq 0 ] || fail "$failures of $count queries"
echo "$count queries evaluated"
