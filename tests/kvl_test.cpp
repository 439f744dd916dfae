// Toolkit services: locks, events, waits and threads under the manual clock, cancellation,
// program runs, PCI lookup, tracing and dates.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KVL.h"
#include "KVLX.h"
#include "ShellProcess.h"
#include "TestHome.h"

namespace {

using KVL::WAIT_TIMEOUT;
using KVL::Misc::ManualClock;
using KVL::Threading::CEvent;
using KVL::Threading::CSyncGuard;
using KVL::Threading::CThread;
using KVL::Threading::CWaiter;
using KVL::Threading::CWaitInterval;
using KVL::Threading::Native_OS::CFastMutex;

// A body for a toolkit thread.
struct Body {
  std::function<void()> run;
  void Run() { run(); }
};

// Sets a flag when destroyed: shows that a cancelled thread unwound.
struct UnwindMark {
  std::atomic<bool>* flag;
  ~UnwindMark() { *flag = true; }
};

class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override { KVL::Misc::SetClock(m_Clock); }
  void TearDown() override { KVL::Misc::SetClock(KVL::Misc::MakeRealClock()); }

  // Starts `run` on a toolkit thread.
  void Start(CThread& thread, std::function<void()> run) {
    m_Bodies.push_back(std::make_unique<Body>(Body{std::move(run)}));
    ASSERT_EQ(1u, thread.Create(KVL::Delegates_and_Calls::CDelegate(m_Bodies.back().get(),
                                                                     &Body::Run),
                                false));
  }
  // Advances the clock once `sleepers` threads are parked in timed waits.
  void AdvanceWhenParked(uint64_t ms, int sleepers = 1) {
    ASSERT_TRUE(m_Clock->WaitForSleepers(sleepers));
    m_Clock->Advance(ms);
  }

  std::shared_ptr<ManualClock> m_Clock = std::make_shared<ManualClock>();
  std::vector<std::unique_ptr<Body>> m_Bodies;
};

// --- Mutexes -----------------------------------------------------------------------------

TEST_F(ToolkitTest, MutexIsRecursiveAndFreeOnlyAfterEveryRelease) {
  CFastMutex mutex;
  ASSERT_EQ(1u, mutex.Init());
  ASSERT_EQ(1u, mutex.Wait(nullptr));
  ASSERT_EQ(1u, mutex.Wait(nullptr, 0));  // the holder takes it again at once

  std::atomic<uint32_t> other{0};
  CThread thread;
  Start(thread, [&] { other = mutex.Wait(nullptr, 500); });
  AdvanceWhenParked(500);
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(WAIT_TIMEOUT, other.load());

  mutex.Release();
  Start(thread, [&] { other = mutex.Wait(nullptr, 500); });
  AdvanceWhenParked(500);
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(WAIT_TIMEOUT, other.load()) << "still held once";

  mutex.Release();
  Start(thread, [&] {
    other = mutex.Wait(nullptr, 0);
    mutex.Release();
  });
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(1u, other.load());
}

TEST_F(ToolkitTest, GuardReleasesAndStrangersCannotRelease) {
  CFastMutex mutex;
  ASSERT_EQ(1u, mutex.Init());
  std::atomic<uint32_t> other{0};
  CThread thread;
  {
    CSyncGuard guard;
    ASSERT_EQ(1u, mutex.Wait(&guard));
    Start(thread, [&] {
      mutex.Release();  // not the holder: ignored
      other = mutex.Wait(nullptr, 0);
    });
    ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
    EXPECT_EQ(WAIT_TIMEOUT, other.load());
  }
  Start(thread, [&] {
    other = mutex.Wait(nullptr, 0);
    mutex.Release();
  });
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(1u, other.load());
}

// --- Events, waiters, intervals -----------------------------------------------------------

TEST_F(ToolkitTest, WaiterGivesThePositionOfTheFirstSignalledEvent) {
  CEvent force, stop, wake;
  ASSERT_EQ(1u, force.Init(false, false));
  ASSERT_EQ(1u, stop.Init(false, true));
  ASSERT_EQ(1u, wake.Init(false, false));
  CWaiter waiter;
  waiter << force << stop << wake;

  wake.Set();
  EXPECT_EQ(3u, waiter.Wait(0, false));
  EXPECT_EQ(WAIT_TIMEOUT, waiter.Wait(0, false)) << "auto-reset event consumed";

  force.Set();
  stop.Set();
  EXPECT_EQ(1u, waiter.Wait(0, false));
  EXPECT_EQ(2u, waiter.Wait(0, false));
  EXPECT_EQ(2u, waiter.Wait(0, false)) << "manual-reset event stays set";
  stop.CB().Reset();
  EXPECT_EQ(WAIT_TIMEOUT, waiter.Wait(0, false));
}

TEST_F(ToolkitTest, WaiterTimesOutOnlyWhenTheClockPassesTheLimit) {
  CEvent event;
  ASSERT_EQ(1u, event.Init(false, false));
  std::atomic<uint32_t> result{0};
  CThread thread;
  Start(thread, [&] {
    CWaiter waiter;
    waiter << event;
    result = waiter.Wait(1000, false);
  });
  AdvanceWhenParked(999);
  EXPECT_EQ(WAIT_TIMEOUT, thread.Wait(0)) << "still waiting 1 ms before the limit";
  AdvanceWhenParked(1);
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(WAIT_TIMEOUT, result.load());
}

// --- Threads and cancellation -------------------------------------------------------------

// An event set wakes the thread parked on it; the thread's wait says it runs until it ends.
TEST_F(ToolkitTest, SetWakesAParkedThreadAndThreadWaitReportsRunningUntilItEnds) {
  CEvent event;
  ASSERT_EQ(1u, event.Init(false, false));
  std::atomic<uint32_t> result{0};
  CThread thread;
  EXPECT_FALSE(thread.HasThread());
  Start(thread, [&] { result = event.Wait(60000); });
  EXPECT_TRUE(thread.HasThread());
  ASSERT_TRUE(m_Clock->WaitForSleepers(1));
  EXPECT_EQ(WAIT_TIMEOUT, thread.Wait(0));
  event.Set();
  ASSERT_EQ(0u, thread.Wait(KVL::INFINITE));
  EXPECT_EQ(0u, thread.Wait(0));
  EXPECT_EQ(1u, result.load());
  EXPECT_FALSE(event.IsSignalled());
}

TEST_F(ToolkitTest, CancelUnwindsAThreadParkedInAWait) {
  CEvent never;
  ASSERT_EQ(1u, never.Init(false, true));
  CFastMutex lock;
  ASSERT_EQ(1u, lock.Init());
  std::atomic<bool> unwound{false}, passed{false};
  CThread thread;
  Start(thread, [&] {
    UnwindMark mark{&unwound};
    CSyncGuard guard;
    lock.Wait(&guard);
    never.Wait(60000);
    passed = true;
  });
  ASSERT_TRUE(m_Clock->WaitForSleepers(1));
  thread.Cancel();
  EXPECT_EQ(0u, thread.Wait(0));
  EXPECT_TRUE(unwound.load());
  EXPECT_FALSE(passed.load());
  EXPECT_EQ(1u, lock.Wait(nullptr, 0)) << "the guard released the lock while unwinding";
  lock.Release();
}

TEST_F(ToolkitTest, CancelInterruptsSleepAndDestructionCancels) {
  std::atomic<bool> unwound{false};
  {
    CThread thread;
    Start(thread, [&] {
      UnwindMark mark{&unwound};
      KVL::Misc::Sleep(KVL::INFINITE);
    });
    EXPECT_EQ(WAIT_TIMEOUT, thread.Wait(0));
  }
  EXPECT_TRUE(unwound.load());
}

// --- Program runs -------------------------------------------------------------------------

class ExecuteCommandTest : public ToolkitTest {
 protected:
  void TearDown() override {
    // Every run reaps what it started: this process has no child left, not even a zombie.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
    KVLX::CSystem::SetTimeLimit(60000);
    KVLX::CSystem::SetOutputCap(16u << 20);
    ToolkitTest::TearDown();
  }
  // Writes an executable shell script into the home and returns its path.
  std::string Script(const std::string& name, const std::string& body) {
    m_Home.WriteFile(name, "#!/bin/sh\n" + body);
    chmod(m_Home.Path(name).c_str(), 0700);
    return m_Home.Path(name);
  }
  uint32_t Run(const std::string& program, const std::string& arguments = "") {
    return KVLX::CSystem::ExecuteCommand(program, arguments, m_Output);
  }
  // The pid a script wrote to a file, waiting (in real time, bounded) for it to appear.
  pid_t PidFrom(const std::string& name) {
    for (int i = 0; i < 1000; ++i) {
      std::ifstream in(m_Home.Path(name));
      pid_t pid = 0;
      if (in >> pid) return pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no pid in " << name;
    return 0;
  }
  // True when no process (not even a zombie) has this pid.
  static bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    return pid > 0 && !stat;
  }

  TestHome m_Home;
  std::string m_Output;
};

TEST_F(ExecuteCommandTest, RunsCaptureOutputWhateverTheExitStatus) {
  struct Case {
    std::string program, arguments;
    uint32_t result;
    std::string output;
  };
  const Case cases[] = {
      {"/bin/echo", "  hello   world ", 1, "hello world\n"},  // arguments split at blanks
      {Script("fail.sh", "echo partial\nexit 3\n"), "", 1, "partial\n"},
      {"/bin/cat", "", 1, ""},  // reads /dev/null: ends at once
      {m_Home.Path("bin/no-such-tool"), "", 0, ""},
      {"", "", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, Run(c.program, c.arguments)) << c.program;
    EXPECT_EQ(c.output, m_Output) << c.program;
  }
  KVLX::CSystem::SetOutputCap(1000);
  EXPECT_EQ(0u, Run("/usr/bin/yes"));
  EXPECT_EQ(1000u, m_Output.size());

  std::vector<std::string> lines;
  const std::string script = Script("lines.sh", "printf 'a\\r\\nb\\n\\nc'\n");
  EXPECT_EQ(1u, KVLX::CSystem::ExecuteCommand(script, "", lines));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "", "c"}), lines);
}

TEST_F(ExecuteCommandTest, NoOtherDescriptorIsInherited) {
  const int raw = open("/dev/null", O_RDONLY);
  const int fd = fcntl(raw, F_DUPFD, 100);  // no close-on-exec
  close(raw);
  ASSERT_GE(fd, 100);
  EXPECT_EQ(1u, Run("/bin/ls", "/proc/self/fd"));
  close(fd);
  std::istringstream listing(m_Output);
  std::string entry;
  std::vector<std::string> entries;
  while (listing >> entry) entries.push_back(entry);
  EXPECT_EQ(std::find(entries.begin(), entries.end(), std::to_string(fd)), entries.end())
      << m_Output;
}

TEST_F(ExecuteCommandTest, ProgramStartsWithDefaultSignalsAndInAGroupOfItsOwn) {
  // What this thread ignores, handles and blocks is not the program's.
  struct sigaction ignore = {}, handle = {}, oldUsr1 = {}, oldTerm = {};
  ignore.sa_handler = SIG_IGN;
  handle.sa_handler = [](int) {};
  sigaction(SIGUSR1, &ignore, &oldUsr1);
  sigaction(SIGTERM, &handle, &oldTerm);
  sigset_t blocked, oldMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
  // The programs read their own state: a shell would show its own, masked while it starts one.
  EXPECT_EQ(1u, Run("/bin/grep", "-E ^Sig(Blk|Ign) /proc/self/status"));
  const std::string signals = m_Output;
  EXPECT_EQ(1u, Run("/bin/cat", "/proc/self/stat"));
  std::istringstream stat(m_Output);
  std::string pid, name, state, parent, group;
  stat >> pid >> name >> state >> parent >> group;
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", signals);
  EXPECT_EQ(pid, group) << m_Output;
}

TEST_F(ExecuteCommandTest, TimeLimitKillsTheProgramAndItsHelpersAndReportsWhatItSaid) {
  // Time for the script to note both pids even on a busy machine; then it hangs.
  KVLX::CSystem::SetTimeLimit(3000);
  std::string tail = "(no report)";
  KVLX::CSystem::SetRunObserver(
      [&tail](const KVLX::CSystem::RunReport& report) { tail = report.errorTail; });
  const std::string script = Script("hang.sh", "echo stuck here >&2\necho $$ > " +
                                                    m_Home.Path("leader.pid") +
                                                    "\n/bin/sleep 30 &\necho $! > " +
                                                    m_Home.Path("helper.pid") + "\nwait\n");
  EXPECT_EQ(0u, Run(script));
  KVLX::CSystem::SetRunObserver(nullptr);
  EXPECT_EQ("stuck here\n", tail);
  EXPECT_TRUE(Gone(PidFrom("leader.pid")));
  // The helper is not our child: once killed, whoever adopted it reaps it.
  EXPECT_TRUE(ProcessEnded(PidFrom("helper.pid")));
}

TEST_F(ExecuteCommandTest, HelperHoldingTheOutputDoesNotHoldTheRun) {
  KVLX::CSystem::SetTimeLimit(10000);
  EXPECT_EQ(1u, Run(Script("bg.sh", "/bin/sleep 30 &\necho done\n")));
  EXPECT_EQ("done\n", m_Output);
  // A helper that goes on writing: the run still ends with the program.
  EXPECT_EQ(1u, Run(Script("chatty.sh", "echo done\n(while :; do echo more; done) &\n")));
  EXPECT_EQ(0u, m_Output.find("done\n"));
}

TEST_F(ExecuteCommandTest, HelperInASessionOfItsOwnEndsWithTheRun) {
  // The helper leaves the program's group and keeps the pipe open; the run still ends with the
  // program, well inside the time limit, and the helper does not outlive it.
  KVLX::CSystem::SetTimeLimit(20000);
  const std::string pidFile = m_Home.Path("helper.pid");
  const std::string script = Script(
      "setsid.sh", "/usr/bin/setsid /bin/sh -c 'echo $$ > " + pidFile +
                       "; exec /bin/sleep 30' &\nwhile [ ! -s " + pidFile +
                       " ]; do :; done\necho done\n");
  const auto runEnds = [&] {
    std::remove(pidFile.c_str());
    const auto started = std::chrono::steady_clock::now();
    const bool ended = Run(script) == 1 && m_Output == "done\n";
    return ended && std::chrono::steady_clock::now() - started < std::chrono::seconds(10) &&
           Gone(PidFrom("helper.pid"));
  };
  EXPECT_TRUE(runEnds());
  // A forked copy of the host adopts its own programs' helpers too.
  const pid_t copy = fork();
  ASSERT_GE(copy, 0);
  if (copy == 0) _exit(runEnds() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(copy, waitpid(copy, &status, 0));
  EXPECT_EQ(0, status);
}

TEST_F(ExecuteCommandTest, StandardErrorIsCapturedAndOnlyItsEndKept) {
  // 50 MB on standard error neither blocks the run nor reaches the host's standard error; the
  // report keeps the last 64 KiB, which end with the program's last words, and the output is
  // untouched.
  std::vector<std::string> tails;
  KVLX::CSystem::SetRunObserver(
      [&tails](const KVLX::CSystem::RunReport& report) { tails.push_back(report.errorTail); });
  EXPECT_EQ(1u, Run(Script("loud.sh", "echo out\nhead -c 52428800 /dev/zero | tr '\\000' e >&2\n"
                                      "echo last words >&2\nexit 2\n")));
  EXPECT_EQ("out\n", m_Output);
  KVLX::CSystem::SetRunObserver(nullptr);
  ASSERT_EQ(1u, tails.size());
  EXPECT_EQ(64u * 1024, tails[0].size());
  EXPECT_EQ("eeee" "last words\n", tails[0].substr(tails[0].size() - 15));
}

TEST_F(ExecuteCommandTest, EachReportHoldsOnlyWhatItsOwnRunWrote) {
  // A helper that keeps writing to standard error after its program exits adds nothing to the
  // next run's report, a run that writes nothing reports nothing, and runs on two threads at
  // once each report their own words.
  std::mutex lock;
  std::vector<std::string> tails;
  KVLX::CSystem::SetRunObserver([&](const KVLX::CSystem::RunReport& report) {
    std::lock_guard<std::mutex> hold(lock);
    tails.push_back(report.errorTail);
  });
  const std::string says = Script("says.sh", "for i in 1 2 3 4 5 6 7 8; do echo \"$1\" >&2; done\n");
  EXPECT_EQ(1u, Run(Script("chatty.sh", "echo first >&2\n(while :; do echo late >&2; done) &\n"
                                        "/bin/sleep 0.2\n")));
  EXPECT_EQ(1u, Run(says, "second"));
  EXPECT_EQ(1u, Run("/bin/true"));
  std::thread other([&] {
    std::string output;
    for (int i = 0; i < 20; ++i) KVLX::CSystem::ExecuteCommand(says, "other", output);
  });
  for (int i = 0; i < 20; ++i) Run(says, "mine");
  other.join();
  KVLX::CSystem::SetRunObserver(nullptr);

  const auto eightTimes = [](const std::string& word) {
    std::string text;
    for (int i = 0; i < 8; ++i) text += word + "\n";
    return text;
  };
  ASSERT_EQ(43u, tails.size());
  EXPECT_NE(std::string::npos, tails[0].find("late\n"));
  EXPECT_EQ(eightTimes("second"), tails[1]);
  EXPECT_EQ("", tails[2]);
  EXPECT_EQ(20, std::count(tails.begin() + 3, tails.end(), eightTimes("mine")));
  EXPECT_EQ(20, std::count(tails.begin() + 3, tails.end(), eightTimes("other")));
}

TEST_F(ExecuteCommandTest, EveryRunIsCountedAndReportedWithHowItEnded) {
  struct Seen {
    KVLX::CSystem::RunOutcome outcome;
    int startError, exitStatus;
    bool tooLarge;
  };
  std::vector<Seen> seen;
  KVLX::CSystem::SetRunObserver([&seen](const KVLX::CSystem::RunReport& report) {
    seen.push_back({report.outcome, report.startError, report.exitStatus, report.outputTooLarge});
  });
  using Outcome = KVLX::CSystem::RunOutcome;
  const uint64_t before[3] = {KVLX::CSystem::RunCount(Outcome::kOk),
                              KVLX::CSystem::RunCount(Outcome::kFailed),
                              KVLX::CSystem::RunCount(Outcome::kTimeout)};
  m_Home.WriteFile("plain.txt", "not a program\n");
  chmod(m_Home.Path("plain.txt").c_str(), 0600);
  Run("/bin/true");
  Run(Script("three.sh", "exit 3\n"));
  Run(m_Home.Path("no-such-tool"));
  Run(m_Home.Path("plain.txt"));
  KVLX::CSystem::SetOutputCap(100);
  Run("/usr/bin/yes");
  KVLX::CSystem::SetTimeLimit(200);
  Run("/bin/sleep", "5");
  KVLX::CSystem::SetRunObserver(nullptr);
  ASSERT_EQ(6u, seen.size());
  const Seen expected[] = {{Outcome::kOk, 0, 0, false},          {Outcome::kFailed, 0, 3, false},
                           {Outcome::kFailed, ENOENT, -1, false}, {Outcome::kFailed, EACCES, -1, false},
                           {Outcome::kFailed, 0, -1, true},       {Outcome::kTimeout, 0, -1, false}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(expected[i].outcome, seen[i].outcome) << i;
    EXPECT_EQ(expected[i].startError, seen[i].startError) << i;
    EXPECT_EQ(expected[i].exitStatus, seen[i].exitStatus) << i;
    EXPECT_EQ(expected[i].tooLarge, seen[i].tooLarge) << i;
  }
  EXPECT_EQ(before[0] + 1, KVLX::CSystem::RunCount(Outcome::kOk));
  EXPECT_EQ(before[1] + 4, KVLX::CSystem::RunCount(Outcome::kFailed));
  EXPECT_EQ(before[2] + 1, KVLX::CSystem::RunCount(Outcome::kTimeout));
}

TEST_F(ExecuteCommandTest, CancelKillsTheProgramOfTheCancelledThread) {
  const std::string script =
      Script("hung.sh", "echo $$ > " + m_Home.Path("hung.pid") + "\nexec /bin/sleep 30\n");
  std::atomic<bool> returned{false};
  CThread thread;
  Start(thread, [&] {
    std::string output;
    KVLX::CSystem::ExecuteCommand(script, "", output);
    returned = true;
  });
  const pid_t pid = PidFrom("hung.pid");
  thread.Cancel();
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(Gone(pid));
  int status = 0;
  EXPECT_EQ(-1, waitpid(pid, &status, WNOHANG));
}

// --- PCI lookup ---------------------------------------------------------------------------

class PciTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Home.AddPciDevice("0000:81:00.0", "0x8086", "0x0a54");
    m_Home.AddPciDevice("0000:03:00.0", "0x8086", "0x0A54");
    m_Home.AddPciDevice("0001:02:1f.7", "0x8086", "0x0953");
    m_Home.AddPciDevice("0000:04:00.0", "0x10de", "0x0a54");
    m_Home.WriteFile("pci/not-a-device/vendor", "0x8086\n");
  }
  // "segment:bus:device.function" of a lookup, or "none".
  std::string Locate(const std::string& vendor, const std::string& device, uint32_t instance) {
    int s = -1, b = -1, d = -1, f = -1;
    if (!KVLX::CConfigManager::GetLocation(vendor, device, instance, s, b, d, f)) return "none";
    return Text(s, b, d, f);
  }
  std::string Locate(const std::vector<std::string>& ids, uint32_t instance) {
    int s = -1, b = -1, d = -1, f = -1;
    if (!KVLX::CConfigManager::GetLocation(ids, instance, s, b, d, f)) return "none";
    return Text(s, b, d, f);
  }
  static std::string Text(int s, int b, int d, int f) {
    return std::to_string(s) + ":" + std::to_string(b) + ":" + std::to_string(d) + "." +
           std::to_string(f);
  }
  TestHome m_Home;
};

TEST_F(PciTest, InstancesFollowAddressOrderIgnoringCase) {
  EXPECT_EQ("0:3:0.0", Locate("8086", "0a54", 1));
  EXPECT_EQ("0:129:0.0", Locate("8086", "0A54", 2));
  EXPECT_EQ("none", Locate("8086", "0a54", 3));
  EXPECT_EQ("none", Locate("8086", "0a54", 0));
  EXPECT_EQ("1:2:31.7", Locate("8086", "0953", 1));
  EXPECT_EQ("none", Locate("8086", "2701", 1));
  EXPECT_EQ("none", Locate("80x6", "0953", 1));
  // The list form counts every function that matches any of its IDs.
  const std::vector<std::string> ids = {"80860953", "80860a54", "bogus"};
  EXPECT_EQ("0:3:0.0", Locate(ids, 1));
  EXPECT_EQ("0:129:0.0", Locate(ids, 2));
  EXPECT_EQ("1:2:31.7", Locate(ids, 3));
  EXPECT_EQ("none", Locate(ids, 4));
  EXPECT_EQ("none", Locate(std::vector<std::string>{}, 1));
}

// A later instance reuses the last read only for the same IDs and while the tree lists the same
// entries; the first instance always reads the tree.
TEST_F(PciTest, LaterInstancesReuseTheLastReadOnlyWhileNothingChanged) {
  const std::vector<std::string> ids = {"80860a54"};
  EXPECT_EQ("0:3:0.0", Locate(ids, 1));
  EXPECT_EQ("none", Locate(std::vector<std::string>{"80860953"}, 2));
  EXPECT_EQ("1:2:31.7", Locate(std::vector<std::string>{"80860953"}, 1));

  EXPECT_EQ("0:3:0.0", Locate(ids, 1));
  m_Home.AddPciDevice("0000:02:00.0", "0x8086", "0x0a54");  // a new entry
  EXPECT_EQ("0:3:0.0", Locate(ids, 2));
  EXPECT_EQ("0:129:0.0", Locate(ids, 3));

  m_Home.WriteFile("pci/0000:02:00.0/device", "0x1234\n");  // changed in place
  EXPECT_EQ("0:3:0.0", Locate(ids, 1));
  EXPECT_EQ("0:129:0.0", Locate(ids, 2));
  EXPECT_EQ("none", Locate(ids, 3));
}

// --- Tracing ------------------------------------------------------------------------------

class TraceTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    KVL::Misc::SetTraceFile(m_Home.Path("trace.log"));
  }
  void TearDown() override {
    KVL::Misc::SetTraceFile("");
    KVL::Misc::SetTraceMask(kModule, 0);
    ToolkitTest::TearDown();
  }
  std::vector<std::string> Records() {
    std::ifstream in(m_Home.Path("trace.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static std::string Format(const char* format, std::function<void(KVL::Output_Streams::CFormatStream&)> feed) {
    KVL::Output_Streams::CFormatStream stream;
    stream.Begin(format);
    feed(stream);
    return stream.Text();
  }

  static constexpr uint32_t kModule = 901;
  TestHome m_Home;
  KVL::Misc::CModuleInfo m_Module{kModule, "Test", "1", nullptr, {}};
};

TEST_F(TraceTest, OnlyLevelsInTheMaskAreRecordedInTheRecordFormat) {
  KVL::Misc::SetTraceMask(kModule, 2 | 16);
  KVL_TRACE(m_Module, 4, "Src/Test", "not recorded");
  const int line = __LINE__ + 1;
  KVL_TRACE(m_Module, 16, "Src/Test", "Value %d of %s is %u%%\n", -5, std::string("x"), 7u);

  const std::vector<std::string> records = Records();
  ASSERT_EQ(1u, records.size());
  const std::regex format(
      "1970-01-01T00:16:40\\.000Z [0-9]+ 16 Src/Test "
      "\\{anonymous\\}::TraceTest_OnlyLevelsInTheMaskAreRecordedInTheRecordFormat_Test::TestBody:" +
      std::to_string(line) + " Value -5 of x is 7%");
  EXPECT_TRUE(std::regex_match(records[0], format)) << records[0];

  KVL::Misc::SetTraceMask(kModule, 0);
  KVL_TRACE(m_Module, 16, "Src/Test", "off");
  EXPECT_EQ(1u, Records().size());
}

TEST_F(TraceTest, FormatStreamFillsPlaceholdersInOrder) {
  using Stream = KVL::Output_Streams::CFormatStream;
  EXPECT_EQ("7 items, ff, name, -0042, ab |, 100%, %d left",
            Format("%lu items, %x, %s, %05d, %-3s|, 100%%, %d left", [](Stream& s) {
              s.FormatUInt(7).FormatInt(255) << "name";
              s.FormatInt(-42) << std::string("ab");
            }));
  EXPECT_EQ("big 18446744073709551615 and -1", Format("big %llu and %ld", [](Stream& s) {
              s.FormatUInt(~uint64_t{0}).FormatInt(-1);
            }));
  EXPECT_EQ("ratio 50%", Format("ratio 50%", [](Stream& s) { s << "extra"; }));
}

TEST_F(TraceTest, QualifiedNameKeepsScopesAndMember) {
  using KVL::Internals::QualifiedName;
  EXPECT_EQ("NS::C::F", QualifiedName("unsigned int NS::C::F(int, char*) const"));
  EXPECT_EQ("F", QualifiedName("void F()"));
  EXPECT_EQ("NS::G", QualifiedName("std::vector<int, std::allocator<int> > NS::G(std::map<int, int>)"));
  EXPECT_EQ("PI::CProperty::operator==",
            QualifiedName("bool PI::CProperty::operator==(const PI::CProperty&) const"));
  EXPECT_EQ("NS::C::operator()", QualifiedName("void NS::C::operator()()"));
  EXPECT_EQ("NS::operator<", QualifiedName("bool NS::operator<(const A&, const A&)"));
  EXPECT_EQ("NS::H", QualifiedName("T NS::H(T) [with T = int]"));
  EXPECT_EQ("{anonymous}::Run", QualifiedName("void {anonymous}::Run()"));
  EXPECT_EQ("", QualifiedName(nullptr));
}

}  // namespace
