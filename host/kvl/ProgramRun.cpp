// CSystem's program runs: starts the program, reads its output until it ends by itself, runs
// out of time, prints past the cap or its thread is cancelled, and reports how the run ended.
// Runs on the calling thread; any number of threads may run programs at once.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "KVL.h"
#include "ProgramRun.h"

namespace KVLX {

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = CSystem::RunOutcome;
using Detail::ChildRun;
using Detail::Finished;

constexpr int kPollSliceMs = 20;  // how often a run looks at its limits and cancellation
// How long a run that ended by itself may still take to hand over the rest of its output once
// everything it started is killed: the pipe closes at once unless something unseen holds it.
constexpr int kDrainMs = 500;

// The limits of one run: when it must end and the most output it may print.
struct RunLimits {
  Clock::time_point deadline;
  size_t cap;
};

// The child has exited by itself. Stops helpers that still hold the pipe, in its group or left
// outside it, then takes the rest of the output: what is written by now, not what a helper
// might add.
uint32_t EndedByItself(ChildRun& child, bool open, const RunLimits& limits,
                       CSystem::RunReport& report, std::string& output) {
  child.KillGroup();
  child.SweepLeftBehind();
  const Clock::time_point drained =
      std::min(limits.deadline, Clock::now() + std::chrono::milliseconds(kDrainMs));
  while (open && Clock::now() < drained && output.size() <= limits.cap)
    open = child.Pump(kPollSliceMs, output, false);
  child.TakeLastErrors();
  report.exitStatus = child.ExitStatus();
  report.signal = child.Signal();
  if (output.size() > limits.cap) {
    output.resize(limits.cap);
    report.outputTooLarge = true;
    return Finished(report, 0);
  }
  report.outcome = report.exitStatus == 0 ? Outcome::kOk : Outcome::kFailed;
  return Finished(report, 1);
}

// Reads the child's output and watches its exit until the run ends one way or another.
uint32_t WatchRun(ChildRun& child, const RunLimits& limits, CSystem::RunReport& report,
                  std::string& output) {
  bool open = true;
  bool firstOutput = true;
  for (;;) {
    if (KVL::Threading::CancelRequested()) {
      child.KillAndReap();
      if (std::uncaught_exceptions() == 0) throw KVL::Threading::ThreadCancelled();
      return 0;
    }
    if (Clock::now() >= limits.deadline) {
      child.KillAndReap();
      child.TakeLastErrors();
      report.outcome = Outcome::kTimeout;
      return Finished(report, 0);
    }
    // Both waits end as soon as the child exits: a tool run costs the host no more than the
    // run itself, not a slice of idle waiting after it. After a slice without output the wait
    // on the output also watches the exit, for a child that ends while a helper holds the pipe.
    if (open) {
      const size_t before = output.size();
      open = child.Pump(kPollSliceMs, output, true);
      if (open && output.size() == before) child.WatchExit();
      if (output.size() > limits.cap) {
        output.resize(limits.cap);
        child.KillAndReap();
        child.TakeLastErrors();
        report.outputTooLarge = true;
        return Finished(report, 0);
      }
      // A program's first output nearly always comes before its exit: the exit is looked at
      // after the next wait, which ends at once when the output ends.
      if (open && firstOutput && output.size() != before) {
        firstOutput = false;
        continue;
      }
    } else {
      child.WaitForExit(kPollSliceMs);
    }
    if (child.Exited()) return EndedByItself(child, open, limits, report, output);
  }
}

}  // namespace

uint32_t CSystem::ExecuteCommand(const std::string& program, const std::string& arguments,
                                 std::string& output) {
  output.clear();
  KVL::Threading::CancellationPoint();
  if (const auto runner = Detail::CurrentRunner()) return (*runner)(program, arguments, output);
  const uint64_t limitMs = TimeLimit();
  RunReport report{program, arguments, output, Outcome::kFailed};
  report.timeLimitMs = limitMs;
  if (program.empty()) {
    report.startError = ENOENT;
    return Finished(report, 0);
  }

  Detail::DropStaleErrors();
  int fd = -1;
  int errFd = -1;
  unsigned long long start = 0;
  const pid_t pid = Detail::SpawnRegistered(program, Detail::SplitAtBlanks(arguments), fd, errFd,
                                            report.startError, start);
  if (pid <= 0) return Finished(report, 0);
  ChildRun child(pid, fd, errFd, start, report.errorTail);

  const RunLimits limits{Clock::now() + std::chrono::milliseconds(limitMs), Detail::OutputCap()};
  return WatchRun(child, limits, report, output);
}

}  // namespace KVLX
