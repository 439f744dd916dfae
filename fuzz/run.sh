#!/usr/bin/env bash
# Runs fuzz targets, each for SECONDS, from its seed corpus (fuzz/corpus/<target>) into a scratch
# corpus; fails on the first finding. Findings are left as crash-*/leak-*/timeout-* files in the
# current directory. Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...] (default: every target)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: $0 BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: $0 BUILD_DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(inventory_fuzzer health_fuzzer version_fuzzer orm_rows_fuzzer config_fuzzer)

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "fuzzing $target for ${seconds}s"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 "$scratch/$target" "$here/corpus/$target" \
    > "$scratch/$target.log" 2>&1 || {
    tail -n 60 "$scratch/$target.log"
    echo "fuzz target $target failed" >&2
    exit 1
  }
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' \
    "$scratch/$target.log" || true
done
