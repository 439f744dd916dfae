// What program runs share on every system: the time limit and output cap, the command runner
// that stands in for real runs, the observer told of every finished run, the count of runs by
// outcome, the splitting of an argument line and the run whose output is taken as lines. Safe from any thread: settings and counts are atomic, the runner and observer are
// swapped under a mutex and called outside it.

#include <atomic>
#include <mutex>
#include <utility>

#include "ProgramRun.h"

namespace KVLX {

namespace {

std::atomic<uint64_t> g_TimeLimitMs{60000};
std::atomic<size_t> g_OutputCap{16u << 20};

std::mutex g_RunnerMutex;
std::shared_ptr<const Testing::CommandRunner> g_Runner;  // guarded by g_RunnerMutex

std::mutex g_ObserverMutex;
std::shared_ptr<const CSystem::RunObserver> g_Observer;  // guarded by g_ObserverMutex
std::atomic<uint64_t> g_RunCounts[3] = {};                // by RunOutcome

}  // namespace

namespace Detail {

size_t OutputCap() { return g_OutputCap.load(); }

std::shared_ptr<const Testing::CommandRunner> CurrentRunner() {
  std::lock_guard<std::mutex> lock(g_RunnerMutex);
  return g_Runner;
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::vector<std::string> words;
  words.reserve(8);  // a tool's argument line rarely has more
  const char* at = text.data();
  const char* const end = at + text.size();
  for (;;) {
    while (at != end && blank(*at)) ++at;
    if (at == end) return words;
    const char* const start = at;
    while (at != end && !blank(*at)) ++at;
    words.emplace_back(start, at);
  }
}

void KeepErrorTail(std::string& tail) {
  constexpr size_t kKept = 64 * 1024;
  if (tail.size() > kKept) tail.erase(0, tail.size() - kKept);
}

uint32_t Finished(CSystem::RunReport& report, uint32_t result) {
  report.result = result;
  ++g_RunCounts[static_cast<int>(report.outcome)];
  std::shared_ptr<const CSystem::RunObserver> observer;
  {
    std::lock_guard<std::mutex> lock(g_ObserverMutex);
    observer = g_Observer;
  }
  if (observer) (*observer)(report);
  return result;
}

}  // namespace Detail

uint32_t CSystem::ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::vector<std::string>& lines) {
  std::string output;
  const uint32_t result = ExecuteCommand(program, arguments, output);
  lines.clear();
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return result;
}

void Testing::SetCommandRunner(CommandRunner runner) {
  std::lock_guard<std::mutex> lock(g_RunnerMutex);
  g_Runner = runner ? std::make_shared<const CommandRunner>(std::move(runner)) : nullptr;
}

void CSystem::SetTimeLimit(uint64_t ms) { g_TimeLimitMs.store(ms); }

uint64_t CSystem::TimeLimit() { return g_TimeLimitMs.load(); }

void CSystem::SetOutputCap(size_t bytes) { g_OutputCap.store(bytes); }

void CSystem::SetRunObserver(RunObserver observer) {
  std::lock_guard<std::mutex> lock(g_ObserverMutex);
  g_Observer = observer ? std::make_shared<const RunObserver>(std::move(observer)) : nullptr;
}

uint64_t CSystem::RunCount(RunOutcome outcome) {
  return g_RunCounts[static_cast<int>(outcome)].load();
}

}  // namespace KVLX
