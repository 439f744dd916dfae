#!/usr/bin/env bash
# Installs what is missing (the test-only packages too), builds, and runs the whole test suite,
# the operations checks included (promtool check rules and test rules, the dashboard's queries in
# Prometheus, script --json through jq, an install into a scratch root and the .deb); then the
# suite under the sanitizers and a short run of every fuzz target.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" --tests "$here/build"
cd "$here/build"
ctest --output-on-failure -j2 --timeout 600

# Reliability: a short run of every fuzz target, the whole suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer, and the tests of threads under ThreadSanitizer. Any sanitizer report
# ends the run with a failure.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
jobs=$(nproc)

cmake -S "$here" -B "$here/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DVARNOCK_BUILD_FUZZ=ON -DVARNOCK_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build-fuzz" -j"$jobs" --target fuzzers
"$here/fuzz/run.sh" "$here/build-fuzz" 10

cmake -S "$here" -B "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DWITH_ASAN=ON >/dev/null
cmake --build "$here/build-asan" -j"$jobs"
# The guest tests run once, in the normal build: they prove the kernel interfaces, not the code.
(cd "$here/build-asan" && ctest --output-on-failure -j2 --timeout 900 -LE nvme-vm)

tsan_tests=(fault_test monitor_test lifecycle_test kvl_test serve_test)
cmake -S "$here" -B "$here/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWITH_TSAN=ON >/dev/null
cmake --build "$here/build-tsan" -j"$jobs" --target "${tsan_tests[@]}"
# ThreadSanitizer needs the classic address-space layout; without it some kernels refuse it.
norandom=(setarch "$(uname -m)" -R)
"${norandom[@]}" true 2>/dev/null || norandom=()
(cd "$here/build-tsan" &&
  "${norandom[@]}" ctest --output-on-failure -j2 --timeout 900 -L concurrency &&
  "${norandom[@]}" ctest --output-on-failure -j2 --timeout 900 \
    -R '^(MonitorTest|LifecycleTest|RoutingTest|ToolkitTest|ExecuteCommandTest|ServeTest)\.')


# The Windows build and its tests under Wine.
"$here/scripts/test-windows.sh"
