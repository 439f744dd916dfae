// The plug-in's passes against their floors, and the host's requests. Passes run on the
// plug-in's own worker thread: the toolkit's manual clock stands in for time, so the bench wakes
// the worker by advancing the clock and knows a pass has ended when the worker parks in its
// wait again; the light pass's one-second pauses go by without waiting. A pass benchmark
// alternates the pass with its floor (the same tool runs by bare spawns, output discarded) and
// reports the median of each and the median ratio of a pass to its neighbouring floor, so that
// a busy machine, which slows both alike, moves the ratio little. Beside the wall-clock figures it
// reports processor time: the worker thread's own against the bench thread's own over its floor
// (the tool's own time is the same in both and left out), and the children's time of each
// (the tool plus what each spawn does in the child before the program starts).

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchHome.h"
#include "KVL.h"
#include "PluginTestPeer.h"

namespace {

using NAMESPACE_Varnock::IPLUGINAPI_IMPL;
using NAMESPACE_Varnock::PluginTestPeer;

constexpr uint64_t kPollMs = 2000;       // PollInterval=2, the shortest
constexpr uint64_t kFirstWakeMs = 100;   // the worker's first wait
constexpr uint64_t kPauseMs = 1000;      // the light pass's pause after each drive
constexpr int kRealLimitMs = 600000;     // how long a pass may take for real before the bench gives up
constexpr uint32_t kGetEvents = PI::OP_GET_EVENTS;
constexpr int kPendingEvents = 100;

std::shared_ptr<KVL::Misc::ManualClock> g_Clock;

enum class Kind { kFull, kLight };

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "passes_bench: %s\n", what);
  std::exit(1);
}

// The threads of this process by id.
std::set<std::string> Threads() {
  std::set<std::string> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    closedir(dir);
  }
  return ids;
}

// Time a thread of this process has run on a processor, in seconds (0 when unknown).
double ThreadCpuSeconds(const std::string& id) {
  std::ifstream in("/proc/self/task/" + id + "/schedstat");
  unsigned long long ns = 0;
  in >> ns;
  return static_cast<double>(ns) * 1e-9;
}

// User and system time a thread of this process has run, in seconds, from its stat line (clock
// ticks: only sums over many passes are meaningful).
struct UserSystem {
  double user = 0;
  double system = 0;
};
UserSystem ThreadUserSystem(const std::string& id) {
  std::ifstream in("/proc/self/task/" + id + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t paren = line.rfind(')');
  if (paren == std::string::npos) return {};
  std::istringstream fields(line.substr(paren + 2));
  std::string skipped;
  for (int i = 0; i < 11; ++i) fields >> skipped;  // state ... cmajflt
  unsigned long long user = 0, system = 0;
  fields >> user >> system;
  static const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  return {static_cast<double>(user) * tick, static_cast<double>(system) * tick};
}

// Processor time (user + system) of this process's reaped children so far, in seconds. Passes
// and floors run one after the other, so the difference over one of them is its children's.
double ChildrenCpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A plug-in as the host runs it (created, initialized, adapter numbers set, worker started and
// its first full pass done) in a home of N drives. The configuration makes every time-out a full
// pass (kFull) or never one (kLight).
class RunningPlugin {
 public:
  RunningPlugin(int drives, Kind kind) : m_Home(drives), m_Kind(kind) {
    m_Home.Activate();
    m_Home.WriteFile("Varnock.ini", "PollInterval=2\n");
    m_Home.WriteFile("CustomOpts.ini", kind == Kind::kFull
                                           ? "IntelPCIeTopologyRefreshRate=0\n"
                                           : "IntelPCIeTopologyRefreshRate=1000000000000\n");
    m_Plugin = std::make_unique<IPLUGINAPI_IMPL>();
    std::vector<PI::CAdapterID> ids;
    if (m_Plugin->Request(REQ_INITIALIZE, 0, &ids) != 0 || static_cast<int>(ids.size()) != drives)
      Fail("Initialize did not find every drive");
    // The host numbers the adapters 0, 1, 2 ... in the order they came.
    for (size_t i = 0; i < ids.size(); ++i) ids[i].SetAdapterNumber(static_cast<int32_t>(i));
    const std::set<std::string> before = Threads();
    m_Plugin->Request(REQ_SET_ADAPTER_IDS, 0, &ids);
    for (const std::string& id : Threads())
      if (before.count(id) == 0) m_Worker = id;
    Park();
    g_Clock->Advance(kFirstWakeMs);  // the first wake-up: always a full pass
    Park();
    Pass();  // settles what the first pass renamed
  }

  ~RunningPlugin() {
    PluginTestPeer peer(*m_Plugin);
    peer.m_StopRequest.Set();
    if (peer.m_WorkerThread) peer.m_WorkerThread->Wait(KVL::INFINITE);
  }

  // One pass of the worker: the poll interval's time-out, then (light pass) each pause.
  void Pass() {
    g_Clock->Advance(kPollMs);
    if (m_Kind == Kind::kLight) {
      for (int i = 0; i < m_Home.Drives(); ++i) {
        Park();
        g_Clock->Advance(kPauseMs);
      }
    }
    Park();
  }

  // Processor time of the worker thread so far, in seconds.
  double WorkerCpuSeconds() const { return ThreadCpuSeconds(m_Worker); }
  UserSystem WorkerUserSystem() const { return ThreadUserSystem(m_Worker); }

  BenchHome& Home() { return m_Home; }
  IPLUGINAPI_IMPL& Plugin() { return *m_Plugin; }
  bool Is(int drives, Kind kind) const { return m_Home.Drives() == drives && m_Kind == kind; }

 private:
  // Waits until the worker is parked in a timed wait (its interval or a pause).
  static void Park() {
    if (!g_Clock->WaitForSleepers(1, kRealLimitMs)) Fail("the worker did not come back");
  }

  BenchHome m_Home;
  Kind m_Kind;
  std::unique_ptr<IPLUGINAPI_IMPL> m_Plugin;
  std::string m_Worker;  // thread id of the plug-in's worker
};

// One running plug-in at a time (they share the clock): kept while benchmarks use the same one.
std::unique_ptr<RunningPlugin> g_Running;

RunningPlugin& Running(int drives, Kind kind) {
  if (!g_Running || !g_Running->Is(drives, kind)) {
    g_Running.reset();
    g_Running = std::make_unique<RunningPlugin>(drives, kind);
  }
  return *g_Running;
}

template <typename Work>
double Seconds(Work work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A pass against its floor. With `rewrite`, every drive changes values that its rows store before
// each pass, so the pass updates every adapter and drive row as well.
void PassAgainstFloor(benchmark::State& state, Kind kind, bool rewrite) {
  const int drives = static_cast<int>(state.range(0));
  RunningPlugin& running = Running(drives, kind);
  const std::string tool = running.Home().ToolPath();
  const std::vector<std::string> lines =
      kind == Kind::kFull ? FullPassLines(drives) : LightPassLines(drives);

  std::vector<double> passes, floors, ratios, cpu, floorCpu, cpuRatios, children, floorChildren;
  const std::string self = std::to_string(gettid());
  int64_t step = 0;
  bool floorFirst = true;
  UserSystem workerSplit, floorSplit;  // summed over every pass and floor
  const auto add = [](UserSystem& sum, const UserSystem& after, const UserSystem& before) {
    sum.user += after.user - before.user;
    sum.system += after.system - before.system;
  };
  for (auto _ : state) {
    if (rewrite) running.Home().ChangeDrives(++step);
    auto floor = [&] {
      const double cpuBefore = ThreadCpuSeconds(self);
      const double childrenBefore = ChildrenCpuSeconds();
      const UserSystem splitBefore = ThreadUserSystem(self);
      floors.push_back(Seconds([&] {
        for (const std::string& line : lines)
          if (!RunBare(tool, line)) Fail("the tool did not start");
      }));
      add(floorSplit, ThreadUserSystem(self), splitBefore);
      floorCpu.push_back(ThreadCpuSeconds(self) - cpuBefore);
      floorChildren.push_back(ChildrenCpuSeconds() - childrenBefore);
    };
    if (floorFirst) floor();
    const double cpuBefore = running.WorkerCpuSeconds();
    const double childrenBefore = ChildrenCpuSeconds();
    const UserSystem splitBefore = running.WorkerUserSystem();
    passes.push_back(Seconds([&] { running.Pass(); }));
    add(workerSplit, running.WorkerUserSystem(), splitBefore);
    cpu.push_back(running.WorkerCpuSeconds() - cpuBefore);
    children.push_back(ChildrenCpuSeconds() - childrenBefore);
    if (!floorFirst) floor();
    floorFirst = !floorFirst;
    ratios.push_back(passes.back() / floors.back());
    if (floorCpu.back() > 0) cpuRatios.push_back(cpu.back() / floorCpu.back());
    state.SetIterationTime(passes.back());
  }

  state.counters["pass_median"] = Median(passes);
  state.counters["floor_median"] = Median(floors);
  state.counters["ratio_median"] = Median(ratios);
  state.counters["pass_min"] = *std::min_element(passes.begin(), passes.end());
  state.counters["floor_min"] = *std::min_element(floors.begin(), floors.end());
  state.counters["tool_runs"] = static_cast<double>(lines.size());
  // Processor time per pass of the worker and per floor of the bench's thread: what each spends
  // besides the tool's own time, without the waiting that a busy machine adds.
  state.counters["worker_cpu_median"] = Median(cpu);
  state.counters["floor_cpu_median"] = Median(floorCpu);
  if (!cpuRatios.empty()) state.counters["cpu_ratio_median"] = Median(cpuRatios);
  // Where the processor time goes, user against system: means over every pass (tick resolution).
  const double count = static_cast<double>(passes.size());
  state.counters["worker_user_mean"] = workerSplit.user / count;
  state.counters["worker_system_mean"] = workerSplit.system / count;
  state.counters["floor_user_mean"] = floorSplit.user / count;
  state.counters["floor_system_mean"] = floorSplit.system / count;
  state.counters["children_cpu_median"] = Median(children);
  state.counters["floor_children_cpu_median"] = Median(floorChildren);
}

void BM_FullPass(benchmark::State& state) { PassAgainstFloor(state, Kind::kFull, false); }
void BM_FullPassRewrite(benchmark::State& state) { PassAgainstFloor(state, Kind::kFull, true); }
void BM_LightPass(benchmark::State& state) { PassAgainstFloor(state, Kind::kLight, false); }

void BM_GetTopology(benchmark::State& state) {
  const int drives = static_cast<int>(state.range(0));
  IPLUGINAPI_IMPL& plugin = Running(drives, Kind::kFull).Plugin();
  for (auto _ : state) {
    std::vector<PI::CObject> objects;
    plugin.Request(REQ_GET_TOPOLOGY, 0, &objects);
    if (static_cast<int>(objects.size()) != 1 + 2 * drives) state.SkipWithError("wrong topology");
    benchmark::DoNotOptimize(objects.data());
  }
}

void BM_GetAdapterProperties(benchmark::State& state) {
  const int drives = static_cast<int>(state.range(0));
  IPLUGINAPI_IMPL& plugin = Running(drives, Kind::kFull).Plugin();
  const PluginTestPeer peer(plugin);
  const uint64_t adapter = peer.m_Adapters[peer.m_Adapters.size() / 2].GetID();
  for (auto _ : state) {
    std::vector<PI::CProperty> properties;
    if (plugin.Request(REQ_GET_PROPERTIES, adapter, &properties) != 0 || properties.empty())
      state.SkipWithError("no properties");
    benchmark::DoNotOptimize(properties.data());
  }
}

// Operation 50002 on the plug-in object with 100 events pending, as the worker queues them.
void BM_GetEvents(benchmark::State& state) {
  const int drives = static_cast<int>(state.range(0));
  IPLUGINAPI_IMPL& plugin = Running(drives, Kind::kFull).Plugin();
  const PluginTestPeer peer(plugin);
  const uint64_t pluginId = peer.m_Plugin.GetID();
  std::vector<PI::COperation> operations;
  plugin.Request(REQ_GET_OPERATIONS, pluginId, &operations);
  if (operations.empty() || operations.front().GetID() != kGetEvents)
    return state.SkipWithError("no operation 50002");

  std::vector<PI::CEvent> pending(kPendingEvents);
  for (int i = 0; i < kPendingEvents; ++i) {
    const NAMESPACE_Varnock::CVedidEVUAdapter& adapter = peer.m_Adapters[i % drives];
    pending[i].m_ObjectID = adapter.GetID();
    pending[i].m_Code = PI::EVT_BACKUP_FAILED;
    pending[i].m_Severity = PI::SEVERITY_CRITICAL;
    pending[i].m_Time = KVL::Misc::now();
    pending[i].SetSource(adapter.m_Name);
    pending[i].SetPlaceHolder1(adapter.m_Name);
  }
  for (auto _ : state) {
    state.PauseTiming();
    peer.m_EventsLock.Wait(nullptr, KVL::INFINITE);
    peer.m_Events = pending;
    peer.m_EventsLock.Release();
    PI::COperation operation = operations.front();
    state.ResumeTiming();
    plugin.Request(REQ_EXECUTE_OPERATION, pluginId, &operation);
    if (operation.GetEvents().size() != kPendingEvents) state.SkipWithError("events lost");
  }
}

// Repetitions per pass benchmark: fewer where one pass runs hundreds of tool runs.
// Processor-time ratios scatter by a few per cent at most, wall-clock ratios by up to 4 %.
int Iterations(int drives) { return drives >= 128 ? 5 : drives >= 32 ? 15 : drives >= 8 ? 20 : 40; }

void RegisterAll() {
  auto pass = [](const char* name, void (*fn)(benchmark::State&), int drives) {
    benchmark::RegisterBenchmark(name, fn)
        ->Arg(drives)
        ->Iterations(Iterations(drives))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  // A request's figure is the least mean of three repetitions.
  auto request = [](const char* name, void (*fn)(benchmark::State&), int drives) {
    benchmark::RegisterBenchmark(name, fn)
        ->Arg(drives)
        ->Repetitions(3)
        ->ComputeStatistics("min",
                            [](const std::vector<double>& v) {
                              return *std::min_element(v.begin(), v.end());
                            })
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMicrosecond);
  };
  // Grouped by drive count so that each running plug-in is set up once.
  for (int drives : {1, 8, 32, 128}) {
    pass("FullPass", BM_FullPass, drives);
    if (drives == 32 || drives == 128) {
      pass("FullPassRewrite", BM_FullPassRewrite, drives);
      request("GetTopology", BM_GetTopology, drives);
      request("GetAdapterProperties", BM_GetAdapterProperties, drives);
      request("GetEvents", BM_GetEvents, drives);
    }
  }
  for (int drives : {1, 8, 32, 128}) pass("LightPass", BM_LightPass, drives);
}

}  // namespace

int main(int argc, char** argv) {
  g_Clock = std::make_shared<KVL::Misc::ManualClock>();
  KVL::Misc::SetClock(g_Clock);
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  g_Running.reset();  // stops its worker while the toolkit is still whole
  benchmark::Shutdown();
  return 0;
}
