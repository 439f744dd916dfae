// Starting a program from a large host: the toolkit's ExecuteCommand against a bare
// posix_spawn + waitpid of the same trivial program, and fork + exec to show what a host would
// pay for copying its page tables at every tool run. The process first makes 1 GiB resident.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "KVLX.h"

extern char** environ;

namespace {

constexpr size_t kResidentBytes = size_t{1} << 30;
constexpr const char* kProgram = "/bin/true";

void Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// One way of running the program to its end; false when it could not.
bool RunExecuteCommand() {
  std::string output;
  return KVLX::CSystem::ExecuteCommand(kProgram, "", output) == 1;
}

bool RunPosixSpawn() {
  char* argv[] = {const_cast<char*>(kProgram), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) != 0) return false;
  Reap(pid);
  return true;
}

bool RunForkExec() {
  char* argv[] = {const_cast<char*>(kProgram), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    execve(kProgram, argv, environ);
    _exit(127);
  }
  if (pid < 0) return false;
  Reap(pid);
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Run>
double Seconds(Run run, benchmark::State& state) {
  const auto start = std::chrono::steady_clock::now();
  if (!run()) state.SkipWithError("the program did not run");
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One way against the bare spawn: each iteration runs both, in alternating order, so that a
// busy machine weighs on both alike. Counters: the median time of each in seconds and the
// median ratio of the way's time to the bare spawn's in the same iteration.
void AgainstBareSpawn(benchmark::State& state, bool (*way)()) {
  std::vector<double> times, bare, ratios;
  bool wayFirst = true;
  for (auto _ : state) {
    double wayTime = 0;
    if (wayFirst) wayTime = Seconds(way, state);
    bare.push_back(Seconds(RunPosixSpawn, state));
    if (!wayFirst) wayTime = Seconds(way, state);
    wayFirst = !wayFirst;
    times.push_back(wayTime);
    ratios.push_back(wayTime / bare.back());
  }
  state.counters["time"] = Median(times);
  state.counters["posix_spawn"] = Median(bare);
  state.counters["ratio"] = Median(ratios);
}

void BM_ExecuteCommand(benchmark::State& state) { AgainstBareSpawn(state, RunExecuteCommand); }
// Kept apart: after a fork the parent's pages are copy-on-write, which would weigh on
// whatever ran next in the same loop.
void BM_ForkExec(benchmark::State& state) { AgainstBareSpawn(state, RunForkExec); }

}  // namespace

BENCHMARK(BM_ExecuteCommand)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ForkExec)->Iterations(50)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv) {
  // A host of 1 GiB resident: every page written, so each is mapped.
  std::unique_ptr<char[]> resident(new char[kResidentBytes]);
  std::memset(resident.get(), 1, kResidentBytes);
  benchmark::DoNotOptimize(resident.get());

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("resident_bytes", std::to_string(kResidentBytes));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
