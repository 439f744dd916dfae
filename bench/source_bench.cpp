// A tool run from the kernel source against the same run from drives.json: the inventory and the
// SMART page of two drives, the kernel source reading a sysfs tree laid out as the kernel's (two
// controllers with their hwmon sensors, no device nodes, as for a service without the capability).
// Each iteration runs both, in alternating order, so a busy machine weighs on both alike.
// Counters: the median time of each in seconds and the median ratio kernel / drives.json.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text << "\n";
}

// The sysfs tree and the drive state, made once in a folder of their own.
struct Sources {
  fs::path dir;
  std::string stateEnv, kernelEnv, sysfsEnv, devEnv;
  Sources() {
    dir = fs::temp_directory_path() / ("varnock-source-bench-" + std::to_string(getpid()));
    for (int i = 0; i < 2; ++i) {
      const fs::path controller = dir / "sys/class/nvme" / ("nvme" + std::to_string(i));
      Write(controller / "serial", "BENCH000" + std::to_string(i));
      Write(controller / "model", "INTEL SSDPE2KX010T8");
      Write(controller / "firmware_rev", "VDV10131");
      Write(controller / "transport", "pcie");
      Write(controller / "address", "0000:0" + std::to_string(i + 1) + ":00.0");
      Write(controller / "device/vendor", "0x8086");
      Write(controller / "hwmon0/temp1_input", "36850");
      Write(controller / "hwmon0/temp1_max", "70850");
      Write(controller / "hwmon0/temp1_alarm", "0");
    }
    fs::create_directories(dir / "dev");
    fs::copy_file(fs::path(VARNOCK_FIXTURES_DIR) / "two-drives.json", dir / "drives.json");
    stateEnv = "ISDCT_STATE=" + (dir / "drives.json").string();
    kernelEnv = "ISDCT_SOURCE=kernel";
    sysfsEnv = "ISDCT_SYSFS_ROOT=" + (dir / "sys").string();
    devEnv = "ISDCT_DEV_ROOT=" + (dir / "dev").string();
  }
  ~Sources() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// Runs the tool with `extra` added to the environment and its output thrown away.
bool RunTool(const std::vector<std::string>& args, const std::vector<std::string>& extra) {
  std::vector<char*> argv{const_cast<char*>(VARNOCK_TOOL_PROGRAM)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (const std::string& e : extra) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void KernelAgainstDrivesJson(benchmark::State& state, std::vector<std::string> args) {
  static Sources sources;
  const std::vector<std::string> stateRun{sources.stateEnv};
  const std::vector<std::string> kernelRun{sources.kernelEnv, sources.sysfsEnv, sources.devEnv};
  std::vector<double> kernel, json, ratios;
  bool kernelFirst = true;
  auto timed = [&](const std::vector<std::string>& env) {
    const auto start = std::chrono::steady_clock::now();
    if (!RunTool(args, env)) state.SkipWithError("the tool run failed");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  for (auto _ : state) {
    double k = 0, j = 0;
    if (kernelFirst) {
      k = timed(kernelRun);
      j = timed(stateRun);
    } else {
      j = timed(stateRun);
      k = timed(kernelRun);
    }
    kernelFirst = !kernelFirst;
    kernel.push_back(k);
    json.push_back(j);
    ratios.push_back(k / j);
  }
  if (ratios.empty()) return;
  state.counters["kernel_s"] = Median(kernel);
  state.counters["drives_json_s"] = Median(json);
  state.counters["ratio"] = Median(ratios);
}

BENCHMARK_CAPTURE(KernelAgainstDrivesJson, inventory,
                  std::vector<std::string>{"show", "-all", "-o", "json", "-vedidevu"})
    ->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(KernelAgainstDrivesJson, smart_page,
                  std::vector<std::string>{"show", "-o", "json", "-vedidevu", "1", "-nvmelog",
                                           "SmartHealthInfo"})
    ->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
