// The machinery behind CSystem's program runs, shared by the files that implement them (not part
// of the toolkit's interface): starting a child, watching and ending it, tracking the programs
// running now and what they leave behind, run settings and the report of each run. The
// registry of running programs and the settings are safe from any thread; a ChildRun belongs to
// the one thread that runs its program.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KVLX.h"

namespace KVLX {
namespace Detail {

// Run settings and reports.
size_t OutputCap();
// The command runner set for tests and fuzzers; empty while programs really run.
std::shared_ptr<const Testing::CommandRunner> CurrentRunner();
// The words of an argument line: split at blanks and tabs, no quoting.
std::vector<std::string> SplitAtBlanks(const std::string& text);
// Cuts a run's standard error, as read so far, to its last 64 KiB: the end says why it failed.
void KeepErrorTail(std::string& tail);
// Records the run's result in `report`, counts the run and hands it to the observer; returns the
// result.
uint32_t Finished(CSystem::RunReport& report, uint32_t result);

// Starts `program` with stdin from /dev/null, stdout into a new pipe, stderr into this thread's
// error pipe, no other descriptor and default signal handling, in a process group of its own.
// Returns the pid (0 when it cannot start, with the reason in `error`), the read end of the
// output pipe in `readFd` (the caller's to close) and of the error pipe in `errorFd` (the
// thread's: never closed, never at its end, empty when nothing is written; it does not block).
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int& readFd,
            int& errorFd, int& error);

// Empties this thread's error pipe of what a previous run might have left there (a helper it
// started, writing just before it was killed).
void DropStaleErrors();

// Spawns the program as one of the programs running now, with its start time in clock ticks
// since boot in `start`. Returns as Spawn does. The process first makes itself adopt what its
// programs leave behind, so that a run can find helpers that left the program's group.
pid_t SpawnRegistered(const std::string& program, const std::vector<std::string>& arguments,
                      int& readFd, int& errorFd, int& error, unsigned long long& start);
// Drops a reaped program from the programs running now.
void Unregister(pid_t pid);
// Kills and reaps every child of this process that a run left behind: a child started no
// earlier than `since` that is not a running program.
void SweepAdopted(unsigned long long since);

// A started program: its process (the leader of its own group), the read ends of its output and
// of the thread's error pipe (the end of what it writes there is kept in `errorTail`) and, once
// watched, a descriptor that becomes readable when it exits.
class ChildRun {
 public:
  ChildRun(pid_t pid, int fd, int errFd, unsigned long long start, std::string& errorTail)
      : m_Pid(pid), m_Fd(fd), m_ErrFd(errFd), m_ErrorTail(errorTail), m_Start(start) {}
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;
  // Whatever way the run ends, the group is killed, the child reaped, what it left behind ended
  // and the pipe closed.
  ~ChildRun();

  int ExitStatus() const { return m_ExitStatus; }
  int Signal() const { return m_Signal; }

  // Ends what the program left behind outside its group (adopted by this process once the
  // program has exited).
  void SweepLeftBehind();

  // Reads what is ready of the output into `output` and of standard error into the tail,
  // waiting up to `waitMs`, or less when `untilExit` and the exit descriptor becomes readable
  // first. False once the output has ended.
  bool Pump(int waitMs, std::string& output, bool untilExit);
  // Takes what the ended program left unread on its standard error.
  void TakeLastErrors();

  // Opens the exit descriptor (a pidfd) on first use. Most runs end with their output and never
  // need one, and opening it costs more than the rest of the run's bookkeeping. The child is not
  // reaped before, so its pid cannot name another process.
  void WatchExit();
  // Waits up to `waitMs` for the child to exit; sleeps the time where there is no pidfd. The
  // first call only yields the processor, which is nearly always all the exit still needs.
  void WaitForExit(int waitMs);
  // True once the child has exited; it stays a zombie (its process group id cannot be reused)
  // until Reap.
  bool Exited();
  // Kills what is left of the group (helpers the program started); the leader stays a zombie.
  void KillGroup();
  // Kills what is left of the group, unless that was done, before reaping the leader.
  void KillAndReap();

 private:
  void Reap();
  size_t ReadErrors();

  pid_t m_Pid;
  int m_Fd;
  int m_ErrFd;
  std::string& m_ErrorTail;
  unsigned long long m_Start;
  int m_ExitStatus = -1;
  int m_Signal = 0;
  bool m_Swept = false;
  int m_ExitFd = -1;
  bool m_Watched = false;
  bool m_Yielded = false;
  bool m_GroupKilled = false;
  bool m_Reaped = false;
};

}  // namespace Detail
}  // namespace KVLX
