// Resident memory of the host shell over many full passes: a whole-process figure. Lays out a
// home of N drives whose every poll is a full pass (PollInterval 2, refresh rate 0), runs
// varnock-host on it in script mode with a fast clock, counts the worker's passes in its trace
// and reads VmRSS from /proc after the first pass and after the last. Prints one JSON object.
//
//   memory_bench [--drives N] [--passes P] [--host PATH]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchHome.h"

extern char** environ;

namespace {

constexpr const char* kPassDone = "Worker() after bscan";
constexpr const char* kTimeScale = "1000";  // the 2-second poll interval lasts 2 ms
constexpr const char* kWorkerTraceMask = "4";
constexpr int kStopLimitSeconds = 60;
constexpr int kPassLimitSeconds = 300;  // the longest wait for the next pass before giving up

// Resident set of a process in KiB, 0 when it cannot be read.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Counts the worker's finished full passes in the trace file, reading only what is new.
class PassCounter {
 public:
  explicit PassCounter(std::string path) : m_Path(std::move(path)) {}
  int Count() {
    std::ifstream in(m_Path, std::ios::binary);
    if (!in) return m_Count;
    in.seekg(static_cast<std::streamoff>(m_Offset));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written: read it again next time
      m_Offset += line.size() + 1;
      if (line.find(kPassDone) != std::string::npos) ++m_Count;
    }
    return m_Count;
  }

 private:
  std::string m_Path;
  size_t m_Offset = 0;
  int m_Count = 0;
};

bool Exited(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

int main(int argc, char** argv) {
  int drives = 128;
  int passes = 100;
  std::string host = VARNOCK_HOST_PROGRAM;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--drives") drives = std::atoi(argv[i + 1]);
    else if (option == "--passes") passes = std::atoi(argv[i + 1]);
    else if (option == "--host") host = argv[i + 1];
  }
  if (drives < 1 || passes < 1) {
    std::fprintf(stderr, "memory_bench: --drives and --passes need a number above 0\n");
    return 2;
  }

  BenchHome home(drives);
  home.WriteFile("Varnock.ini", "PollInterval=2\n");
  home.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=0\n");

  // The script starts the plug-in and its worker, then waits until it is stopped.
  int input[2];
  if (pipe(input) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_addclose(&actions, input[1]);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = {host,       "--home",  home.Dir(), "--time-scale",
                                    kTimeScale, "--trace", kWorkerTraceMask, "script"};
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, host.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  if (error != 0) {
    std::fprintf(stderr, "memory_bench: cannot start %s\n", host.c_str());
    return 1;
  }
  const std::string script = "create\ninit\nset-adapter-ids\nsleep 100000000\n";
  if (write(input[1], script.data(), script.size()) != static_cast<ssize_t>(script.size()))
    return 1;

  // RSS after the first pass and after every tenth of the rest.
  PassCounter counter(home.Dir() + "/trace.log");
  std::vector<std::pair<int, long>> samples;
  const int step = passes >= 10 ? passes / 10 : 1;
  int next = 1;
  int seen = 0;
  const auto start = std::chrono::steady_clock::now();
  auto progress = start;
  while (next <= passes + 1) {
    if (Exited(pid)) {
      std::fprintf(stderr, "memory_bench: the host shell ended early\n");
      return 1;
    }
    const int done = counter.Count();
    const auto now = std::chrono::steady_clock::now();
    if (done != seen) {
      seen = done;
      progress = now;
    } else if (now - progress > std::chrono::seconds(kPassLimitSeconds)) {
      std::fprintf(stderr, "memory_bench: no full pass for %d s\n", kPassLimitSeconds);
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return 1;
    }
    if (done >= next) {
      samples.emplace_back(done, ResidentKiB(pid));
      next = next == 1 ? 1 + step : next + step;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // A stop request ends the script; the shell then shuts the plug-in down.
  kill(pid, SIGINT);
  close(input[1]);
  bool stopped = false;
  for (int i = 0; i < kStopLimitSeconds * 10 && !(stopped = Exited(pid)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!stopped) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  std::printf("{\"drives\": %d, \"passes\": %d, \"seconds\": %.1f, \"rss_first_kib\": %ld, "
              "\"rss_last_kib\": %ld, \"samples\": [",
              drives, passes, seconds, samples.front().second, samples.back().second);
  for (size_t i = 0; i < samples.size(); ++i)
    std::printf("%s{\"pass\": %d, \"rss_kib\": %ld}", i ? ", " : "", samples[i].first,
                samples[i].second);
  std::printf("]}\n");
  return stopped ? 0 : 1;
}
