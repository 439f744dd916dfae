// Reads what the benchmarks wrote (the JSON of passes_bench and spawn_bench, the JSON line of
// memory_bench) and prints one table: each figure with its floor, ratio or limit, and whether it
// meets its target. Exits 1 when a figure misses its target or is missing.
//
//   bench_table PASSES.json SPAWN.json MEMORY.json

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <rapidjson/document.h>

namespace {

constexpr double kNoTarget = 0;

// A pass against its floor; the targets are the highest ratios pass / floor allowed, of wall-clock
// time and of processor time (the worker thread's own against the floor thread's own).
struct PassRow {
  const char* benchmark;
  int drives;
  const char* figure;
  double maxRatio;
  double maxCpuRatio;
};
constexpr double kCpuTarget = 1.2;
constexpr PassRow kPassRows[] = {
    {"FullPass", 1, "Full pass, 1 drive, nothing changed", kNoTarget, kNoTarget},
    {"FullPass", 8, "Full pass, 8 drives, nothing changed", kNoTarget, kNoTarget},
    {"FullPass", 32, "Full pass, 32 drives, nothing changed", 1.05, kCpuTarget},
    {"FullPass", 128, "Full pass, 128 drives, nothing changed", kNoTarget, kCpuTarget},
    {"FullPassRewrite", 32, "Full pass, 32 drives, every row rewritten", 1.03, kCpuTarget},
    {"FullPassRewrite", 128, "Full pass, 128 drives, every row rewritten", 1.03, kCpuTarget},
    {"LightPass", 1, "Light pass, 1 drive", kNoTarget, kNoTarget},
    {"LightPass", 8, "Light pass, 8 drives", kNoTarget, kNoTarget},
    {"LightPass", 32, "Light pass, 32 drives", 1.05, kCpuTarget},
    {"LightPass", 128, "Light pass, 128 drives", kNoTarget, kCpuTarget},
};

// A host request; the target is the longest mean time allowed.
struct RequestRow {
  const char* benchmark;
  int drives;
  const char* figure;
  double maxSeconds;
};
constexpr double kRequestLimit = 1e-3;
constexpr RequestRow kRequestRows[] = {
    {"GetTopology", 32, "GetTopology, 32 drives", kRequestLimit},
    {"GetAdapterProperties", 32, "GetProperties of one adapter, 32 drives", kRequestLimit},
    {"GetEvents", 32, "Operation 50002 with 100 events, 32 drives", kRequestLimit},
    {"GetTopology", 128, "GetTopology, 128 drives", kRequestLimit},
    {"GetAdapterProperties", 128, "GetProperties of one adapter, 128 drives", kRequestLimit},
    {"GetEvents", 128, "Operation 50002 with 100 events, 128 drives", kRequestLimit},
};

// A way of starting a program against the bare posix_spawn.
struct SpawnRow {
  const char* benchmark;
  const char* figure;
  double maxRatio;
};
constexpr SpawnRow kSpawnRows[] = {
    {"BM_ExecuteCommand", "ExecuteCommand of /bin/true from a 1 GiB host", 1.25},
    {"BM_ForkExec", "fork + exec of /bin/true from a 1 GiB host (avoided)", kNoTarget},
};

constexpr double kMaxGrowthKiB = 1024;

int g_Misses = 0;

bool Load(const char* path, rapidjson::Document& document) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  document.Parse(text.str().c_str());
  if (in && !document.HasParseError() && document.IsObject()) return true;
  std::fprintf(stderr, "bench_table: cannot read %s\n", path);
  return false;
}

std::string Text(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject() || !object.HasMember(key) || !object[key].IsString()) return "";
  return object[key].GetString();
}

// The benchmark whose run name is `prefix` followed by "/" or nothing and, when `aggregate` is
// set, with that aggregate (else a plain run); null when there is none.
const rapidjson::Value* Find(const rapidjson::Document& results, const std::string& prefix,
                             const char* aggregate = nullptr) {
  if (!results.IsObject() || !results.HasMember("benchmarks") || !results["benchmarks"].IsArray())
    return nullptr;
  for (const rapidjson::Value& entry : results["benchmarks"].GetArray()) {
    const std::string run = Text(entry, "run_name");
    if (run.compare(0, prefix.size(), prefix) != 0) continue;
    if (run.size() > prefix.size() && run[prefix.size()] != '/') continue;
    if (Text(entry, "aggregate_name") != (aggregate != nullptr ? aggregate : "")) continue;
    return &entry;
  }
  return nullptr;
}

std::string RunName(const char* benchmark, int drives) {
  return std::string(benchmark) + "/" + std::to_string(drives);
}

// A number of a benchmark or result object; -1 when it has none.
double Number(const rapidjson::Value* entry, const char* key) {
  if (entry == nullptr || !entry->IsObject() || !entry->HasMember(key) ||
      !(*entry)[key].IsNumber())
    return -1;
  return (*entry)[key].GetDouble();
}

// A benchmark's mean real time in seconds.
double RealSeconds(const rapidjson::Value* entry) {
  const double time = Number(entry, "real_time");
  if (time < 0) return -1;
  const std::string unit = Text(*entry, "time_unit");
  const double scale = unit == "ns" ? 1e-9 : unit == "us" ? 1e-6 : unit == "ms" ? 1e-3 : 1;
  return time * scale;
}

std::string Duration(double seconds) {
  char text[32];
  if (seconds < 0) return "missing";
  if (seconds >= 1)
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  else if (seconds >= 1e-3)
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
  else
    std::snprintf(text, sizeof text, "%.1f µs", seconds * 1e6);
  return text;
}

std::string Fixed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A ratio with its target, if it has one: "1.042 / ≤ 1.05", or "missing".
std::string RatioText(const char* format, double ratio, bool known, double maxRatio) {
  std::string text = known ? Fixed(format, ratio) : "missing";
  if (maxRatio != kNoTarget) text += Fixed(" / ≤ %.2f", maxRatio);
  return text;
}

// Prints one row; a row with a target counts as a miss unless `met`. `cpu` is the processor-time
// column, "—" where a figure has none.
void Row(const std::string& figure, const std::string& value, const std::string& floor,
         const std::string& target, bool hasTarget, bool met, const std::string& cpu = "—") {
  const char* result = !hasTarget ? "—" : met ? "pass" : "MISS";
  if (hasTarget && !met) ++g_Misses;
  std::printf("| %s | %s | %s | %s | %s | %s |\n", figure.c_str(), value.c_str(), floor.c_str(),
              target.c_str(), cpu.c_str(), result);
}

void PassRows(const rapidjson::Document& passes) {
  for (const PassRow& row : kPassRows) {
    const rapidjson::Value* entry = Find(passes, RunName(row.benchmark, row.drives));
    const double pass = Number(entry, "pass_median");
    const double floor = Number(entry, "floor_median");
    const double ratio = Number(entry, "ratio_median");
    const double runs = Number(entry, "tool_runs");
    const double cpu = Number(entry, "worker_cpu_median");
    const double floorCpu = Number(entry, "floor_cpu_median");
    const double cpuRatio = Number(entry, "cpu_ratio_median");
    const bool known = pass > 0 && floor > 0 && ratio > 0;
    const bool cpuKnown = cpu > 0 && floorCpu > 0 && cpuRatio > 0;
    const bool hasTarget = row.maxRatio != kNoTarget || row.maxCpuRatio != kNoTarget;
    const bool met = known && cpuKnown && (row.maxRatio == kNoTarget || (known && ratio <= row.maxRatio)) &&
                     (row.maxCpuRatio == kNoTarget || (cpuKnown && cpuRatio <= row.maxCpuRatio));
    Row(row.figure, Duration(pass),
        Duration(floor) + (runs > 0 ? Fixed(" (%.0f tool runs)", runs) : ""),
        RatioText("%.3f", ratio, known, row.maxRatio), hasTarget || !known || !cpuKnown, met,
        (cpuKnown ? Duration(cpu) + " / " + Duration(floorCpu) + ": " : "") +
            RatioText("%.2f", cpuRatio, cpuKnown, row.maxCpuRatio));
  }
}

void RequestRows(const rapidjson::Document& passes) {
  for (const RequestRow& row : kRequestRows) {
    const double seconds = RealSeconds(Find(passes, RunName(row.benchmark, row.drives), "min"));
    Row(row.figure, Duration(seconds), "—", "< " + Duration(row.maxSeconds), true,
        seconds >= 0 && seconds < row.maxSeconds);
  }
}

void SpawnRows(const rapidjson::Document& spawn) {
  for (const SpawnRow& row : kSpawnRows) {
    const rapidjson::Value* entry = Find(spawn, row.benchmark);
    const double value = Number(entry, "time");
    const double floor = Number(entry, "posix_spawn");
    const double ratio = Number(entry, "ratio");
    const bool known = value > 0 && floor > 0 && ratio > 0;
    Row(row.figure, Duration(value), Duration(floor) + " (bare posix_spawn)",
        RatioText("%.2f", ratio, known, row.maxRatio), row.maxRatio != kNoTarget || !known,
        known && ratio <= row.maxRatio);
  }
}

void MemoryRow(const rapidjson::Document& memory) {
  const double first = Number(&memory, "rss_first_kib");
  const double last = Number(&memory, "rss_last_kib");
  const double passes = Number(&memory, "passes");
  const double drives = Number(&memory, "drives");
  const bool known = first > 0 && last > 0;
  const std::string figure = Fixed("Host shell resident memory, %.0f drives, ", drives) +
                             Fixed("after %.0f full passes", passes);
  Row(figure, known ? Fixed("%.0f KiB", last) : "missing",
      known ? Fixed("%.0f KiB (after the first)", first) : "missing",
      (known ? Fixed("%+.0f KiB", last - first) : "missing") +
          Fixed(" / < %.0f KiB", kMaxGrowthKiB),
      true, known && last - first < kMaxGrowthKiB);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_table PASSES.json SPAWN.json MEMORY.json\n");
    return 2;
  }
  rapidjson::Document passes, spawn, memory;
  // A file that cannot be read leaves its rows "missing", which count as misses.
  Load(argv[1], passes);
  Load(argv[2], spawn);
  Load(argv[3], memory);

  std::printf(
      "| Figure | Value | Floor | Ratio or limit / target | Processor time, worker / floor: "
      "ratio / target | Result |\n");
  std::printf("|---|---|---|---|---|---|\n");
  PassRows(passes);
  RequestRows(passes);
  SpawnRows(spawn);
  MemoryRow(memory);
  std::printf("\n%s\n", g_Misses == 0 ? "Every figure meets its target."
                                       : Fixed("%.0f figure(s) miss their target.", g_Misses).c_str());
  return g_Misses == 0 ? 0 : 1;
}
