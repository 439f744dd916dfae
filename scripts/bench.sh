#!/usr/bin/env bash
# Builds the benchmarks in a Release tree, runs them and prints one table: what the plug-in costs
# its host against the least its job can cost (the same tool runs alone), the host's requests,
# program starts from a large host, and the host shell's memory over 30 full passes.
# Usage: scripts/bench.sh [BUILD_DIR]   (default build-bench; results in BUILD_DIR/bench-results)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-"$here/build-bench"}
results="$build_dir/bench-results"
mkdir -p "$results"

echo "Building the benchmarks in $build_dir ..." >&2
if ! "$here/scripts/setup.sh" --tests "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVARNOCK_BUILD_BENCH=ON \
      -DVARNOCK_BUILD_TESTS=OFF >"$results/build.log" 2>&1; then
  tail -n 30 "$results/build.log" >&2
  exit 1
fi
bench="$build_dir/bench"
SECONDS=0  # the benchmarks' own time, without the build

# Each program leaves its output and log in the results folder; a failed one leaves its rows
# "missing" in the table.
run() {
  local name=$1
  shift
  echo "Running $name ..." >&2
  "$@" >"$results/$name.log" 2>&1 || echo "$name failed; see $results/$name.log" >&2
}
run passes "$bench/passes_bench" --benchmark_out="$results/passes.json" \
  --benchmark_out_format=json
run spawn "$bench/spawn_bench" --benchmark_out="$results/spawn.json" --benchmark_out_format=json
run source "$bench/source_bench" --benchmark_out="$results/source.json" --benchmark_out_format=json
echo "Running memory (128 drives, 31 full passes) ..." >&2
"$bench/memory_bench" --passes 30 >"$results/memory.json" 2>"$results/memory.log" ||
  echo "memory failed; see $results/memory.log" >&2

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
memory=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
echo
echo "Machine: $(nproc) cores, $cpu, $memory memory; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
status=0
"$bench/bench_table" "$results/passes.json" "$results/spawn.json" "$results/memory.json" || status=$?
# The tool's kernel source against drives.json: median time of a run and median ratio (target 1.1).
echo
echo "Tool run, kernel source (sysfs tree, no capability) against drives.json:"
jq -r '.benchmarks[]? | "  \(.name | sub("KernelAgainstDrivesJson/"; "") | sub("/iterations:[0-9]+"; "")): \(.kernel_s * 1000 | . * 100 | round / 100) ms against \(.drives_json_s * 1000 | . * 100 | round / 100) ms, ratio \(.ratio * 1000 | round / 1000) (target <= 1.1)"' \
  "$results/source.json" 2>/dev/null || echo "  missing; see $results/source.log"
echo
echo "The benchmarks took $((SECONDS / 60)) min $((SECONDS % 60)) s."
exit "$status"
