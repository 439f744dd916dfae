// End-to-end checks of the host shell: the built varnock-host runs as a child process on a
// temporary home, loads the built plug-in, and answers script lines with JSON lines.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "DriveState.h"
#include "ShellProcess.h"
#include "TestHome.h"

namespace {

constexpr uint64_t kModuleBits = 309ULL << 48;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string Shell() { return BuiltProgram("tools/host/varnock-host"); }

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  });
}

// The lines of a text; a last line without its line end is left out unless `whole`.
std::vector<std::string> Lines(const std::string& text, bool whole = true) {
  std::istringstream in(whole ? text : text.substr(0, text.rfind('\n') + 1));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ShellRun {
  int status = -1;
  std::vector<std::string> lines;  // standard output, line by line
  std::string errors;              // standard error
};

// The shell as a child process, its output in files of the home. Its standard input is `input`
// when one is given, else a FIFO the test writes line by line.
class ShellProcess {
 public:
  ShellProcess(const TestHome& home, const std::string& args,
               const std::optional<std::string>& input = std::nullopt)
      : home_(home) {
    std::vector<std::string> argv = {Shell(), "--home", home.Dir()};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    std::string in = home.Path("input.fifo");
    if (input) {
      home.WriteFile("input.txt", *input);
      in = home.Path("input.txt");
    } else {
      mkfifo(in.c_str(), 0600);
    }
    child_ = std::make_unique<Child>(argv, home.Path("output.txt"), home.Path("errors.txt"), in);
    if (!input) in_ = std::fopen(in.c_str(), "w");  // meets the shell opening its end
  }
  ~ShellProcess() { EndInput(); }

  void Send(const std::string& line) {
    std::fputs((line + "\n").c_str(), in_);
    std::fflush(in_);
  }
  void EndInput() {
    if (in_ != nullptr) std::fclose(in_);
    in_ = nullptr;
  }
  void Signal(int signal) { kill(child_->Pid(), signal); }
  pid_t Pid() const { return child_->Pid(); }
  std::string Output() const { return home_.ReadFile("output.txt"); }
  // Waits (bounded) until standard output holds `text`.
  bool WaitFor(const std::string& text) {
    return Eventually([&] { return Output().find(text) != std::string::npos; }, 60);
  }
  // The next JSON answer, skipping the plug-in's plain lines.
  rapidjson::Document NextAnswer() {
    rapidjson::Document answer;
    answer.Parse(R"({"cmd": "eof", "result": -1, "notified": false, "events": []})");
    Eventually([&] {
      const std::vector<std::string> lines = Lines(Output(), false);
      while (read_ < lines.size()) {
        const std::string& line = lines[read_++];
        if (!line.empty() && line[0] == '{') return !answer.Parse(line.c_str()).HasParseError();
      }
      return !child_->Running();
    }, 60);
    return answer;
  }
  // Waits for the shell to end, then closes its input; its exit status.
  int Wait() {
    const int status = child_->Finish(0, 120);
    EndInput();
    return status;
  }

 private:
  const TestHome& home_;
  std::unique_ptr<Child> child_;
  FILE* in_ = nullptr;
  size_t read_ = 0;  // lines of standard output already read
};

class ShellTest : public ::testing::Test {
 protected:
  // Runs the shell with `args` and `input` on standard input, to the end.
  ShellRun Run(const std::string& args, const std::string& input = "") {
    ShellProcess shell(home, args, input);
    ShellRun run;
    run.status = shell.Wait();
    run.lines = Lines(shell.Output());
    run.errors = home.ReadFile("errors.txt");
    return run;
  }

  // Runs a script in JSON mode; the answers, without the plug-in's plain lines.
  std::vector<rapidjson::Document> Script(const std::string& input,
                                          const std::string& args = "") {
    last = Run("--json " + args + " script", input);
    std::vector<rapidjson::Document> answers;
    for (const std::string& line : last.lines) {
      if (line.empty() || line[0] != '{') continue;
      answers.emplace_back();
      answers.back().Parse(line.c_str());
      EXPECT_FALSE(answers.back().HasParseError()) << line;
    }
    return answers;
  }

  TestHome home;
  ShellRun last;
};

// --- Command line and script grammar -------------------------------------------------------

TEST_F(ShellTest, HelpExplainsTheOptionsAndBadCommandLinesExitWithTwo) {
  ShellRun run = Run("--help");
  EXPECT_EQ(0, run.status);
  for (const char* word : {"--home", "--json", "--time-scale", "--tool-timeout", "demo",
                           "script", "call CODE", "wait-notify", "adapter:SERIAL"})
    EXPECT_TRUE(Contains(run.lines, word)) << word;

  const std::pair<const char*, const char*> cases[] = {
      {"--frobnicate", "unknown option \"--frobnicate\""},
      {"--time-scale 0", "--time-scale needs a number above 0"},
      {"--tool-timeout", "--tool-timeout needs a value"},
      {"dance", "unknown command \"dance\""},
  };
  for (const auto& [args, message] : cases) {
    run = Run(args);
    EXPECT_EQ(2, run.status) << args;
    EXPECT_NE(std::string::npos, run.errors.find(message)) << args << ": " << run.errors;
    EXPECT_TRUE(run.lines.empty()) << args;
  }
}

TEST_F(ShellTest, BadLinesGiveAnErrorAndTheExitStatusOne) {
  // Codes outside the table reach the plug-in, which refuses them (see the lifecycle tests).
  auto answers = Script("create\ncall one\nprops adapter:NOPE\nset plugin 30005 abc\nrelease\n");
  ASSERT_EQ(5u, answers.size());
  EXPECT_EQ(309, answers[0]["moduleWord"].GetInt());
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(-1, answers[i]["result"].GetInt()) << i;
    EXPECT_TRUE(answers[i].HasMember("error")) << i;
  }
  EXPECT_EQ(0, answers[4]["result"].GetInt());
  EXPECT_EQ(1, last.status);
}

// --- Resources -----------------------------------------------------------------------------

// A line past the limit is refused without being stored or echoed, and the script goes on; a
// line at the limit is read.
TEST_F(ShellTest, AnOverlongScriptLineIsSkippedUnstoredAndNotEchoed) {
  constexpr size_t kLimit = 64 * 1024;
  ShellProcess shell(home, "--json script");
  shell.Send(std::string(32 << 20, 'x'));
  rapidjson::Document refused = shell.NextAnswer();
  EXPECT_EQ(-1, refused["result"].GetInt());
  EXPECT_NE(std::string::npos,
            std::string(refused["error"].GetString()).find("longer than 65536 bytes"));
  EXPECT_LT(shell.Output().size(), 200u) << "the line is not echoed";
  if (kMemoryBoundsHold) {
    EXPECT_LT(PeakMemoryKiB(shell.Pid()), 64 * 1024) << "the line is not stored";
  }
  shell.Send("#" + std::string(kLimit - 2, 'c') + "\r");  // a comment at the limit: no answer
  shell.Send("sleep 0");
  EXPECT_STREQ("sleep", shell.NextAnswer()["cmd"].GetString());
  shell.EndInput();
  EXPECT_EQ(1, shell.Wait());
}

// --- The plug-in driven through the shell -------------------------------------------------

class ShellPluginTest : public ShellTest {
 protected:
  // Two drives on the PCI bus and a short poll interval.
  void SetUp() override {
    home.InstallTool();
    home.UseFixture("two-drives.json");
    for (int i = 0; i < 2; ++i)
      home.AddPciDevice("0000:0" + std::to_string(i + 3) + ":00.0", "0x8086", "0x0a54");
    home.WriteFile("Varnock.ini", "PollInterval=2\n");
  }
};

TEST_F(ShellPluginTest, LifecycleNumbersAdaptersAndListsTheTopologyInOrder) {
  auto answers = Script("create\ninit\nset-adapter-ids\ntopology\ndeinit\nrelease\n");
  ASSERT_EQ(6u, answers.size());
  for (int i = 0; i < 6; ++i) EXPECT_EQ(0, answers[i]["result"].GetInt()) << i;
  // Standard output holds the JSON lines alone; the plug-in's own line goes to standard error.
  EXPECT_EQ(6u, last.lines.size());
  EXPECT_NE(std::string::npos, last.errors.find("Varnock:  Initialize:  adapter count is 2\n"));
  const auto& ids = answers[1]["adapterIds"];
  ASSERT_EQ(2u, ids.Size());
  EXPECT_EQ(3, ids[0]["bus"].GetInt());
  EXPECT_EQ(-1, ids[0]["adapterNumber"].GetInt());
  EXPECT_EQ(1, answers[2]["adapterIds"][1]["adapterNumber"].GetInt());

  // Plug-in object, adapters, drives; identifiers exact, each drive under its adapter.
  const auto& objects = answers[3]["objects"];
  ASSERT_EQ(5u, objects.Size());
  const uint32_t types[] = {19006, 19038, 19038, 19018, 19018};
  const uint64_t objectIds[] = {kModuleBits, kModuleBits + 1, kModuleBits + 3, kModuleBits + 2,
                                kModuleBits + 4};
  for (rapidjson::SizeType i = 0; i < 5; ++i) {
    EXPECT_EQ(types[i], objects[i]["type"].GetUint()) << i;
    ASSERT_TRUE(objects[i]["id"].IsString()) << i;
    EXPECT_EQ(std::to_string(objectIds[i]), objects[i]["id"].GetString()) << i;
  }
  EXPECT_EQ(2u, objects[0]["children"].Size());
  EXPECT_EQ(std::to_string(kModuleBits + 2), objects[1]["children"][0].GetString());
  EXPECT_EQ(std::to_string(kModuleBits + 1), objects[3]["parents"][0].GetString());
  EXPECT_EQ(std::to_string(kModuleBits + 3), objects[4]["parents"][0].GetString());
  EXPECT_STREQ("adapter:PHLE812300AB1P6AGN", objects[1]["name"].GetString());
  auto find = [](const rapidjson::Value& object, uint32_t id) -> const rapidjson::Value* {
    for (const auto& property : object["properties"].GetArray())
      if (property["id"].GetUint() == id) return &property;
    return nullptr;
  };
  const rapidjson::Value* status = find(objects[1], 30017);
  ASSERT_NE(nullptr, status);
  EXPECT_EQ(40024, (*status)["value"].GetInt());
  // Values with a unit also carry the value in its base unit.
  const std::tuple<int, uint32_t, const char*, double> baseValues[] = {
      {1, 30498, "seconds", 8760 * 3600.0},  // power-on hours
      {1, 30488, "ratio", 0.1},              // spare threshold, 10 %
      {2, 30442, "celsius", 31},             // temperature
      // Data units of 512000 bytes, shown with seven digits in TB on one drive, GB on the other.
      {1, 30490, "bytes", 21474840000000.0},  // 41943040 units: 21.47484 TB
      {2, 30489, "bytes", 536870900000.0},    // 1048576 units: 536.8709 GB
  };
  for (const auto& [object, id, field, expected] : baseValues) {
    const rapidjson::Value* property = find(objects[object], id);
    ASSERT_NE(nullptr, property) << id;
    ASSERT_TRUE(property->HasMember(field)) << id;
    EXPECT_DOUBLE_EQ(expected, (*property)[field].GetDouble()) << id;
  }
}

TEST_F(ShellPluginTest, FailingToolFailsInit) {
  // Each way the tool fails at Initialize is covered at the plug-in's exports and under serve;
  // here, a hang killed at the shell's own --tool-timeout.
  home.WriteFile("bin/drives.json",
                 R"({"fault": {"kind": "hang", "page": "inventory"}, "drives": []})");
  auto answers = Script("create\ninit\nrelease\n", "--tool-timeout 0.5");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(20012, answers[1]["result"].GetInt());
  EXPECT_EQ(0u, answers[1]["adapterIds"].Size());

  // The main job gives up with a message and exit status 1, after releasing the plug-in.
  ShellRun run = Run("--seconds 1 --time-scale 100 --tool-timeout 0.5");
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.errors.find("Initialize failed: 20012")) << run.errors;
}

TEST_F(ShellPluginTest, HeatedDriveRaisesTemperatureEventsCollectedThroughOperation50002) {
  ShellProcess shell(home, "--json --time-scale 50 script");
  for (const char* line : {"create", "init", "set-adapter-ids", "sleep 1"}) {
    shell.Send(line);
    ASSERT_EQ(0, shell.NextAnswer()["result"].GetInt()) << line;
  }
  // The worker has made a first pass; the drive heats up while the shell runs.
  isdct::State state;
  std::string error;
  ASSERT_TRUE(isdct::LoadState(home.Path("bin/drives.json"), state, error)) << error;
  state.FindBySerial("PHKS750500FQ375AGN")->temperature = 86;
  ASSERT_TRUE(isdct::SaveState(home.Path("bin/drives.json"), state, error)) << error;

  // Notifications come for every full pass; collect until the temperature events are in.
  std::vector<std::pair<uint32_t, std::string>> events;  // code, severity
  std::string object;
  for (int attempt = 0; attempt < 20 && events.size() < 2; ++attempt) {
    shell.Send("wait-notify 600");
    ASSERT_TRUE(shell.NextAnswer()["notified"].GetBool());
    shell.Send("exec plugin 50002");
    rapidjson::Document collected = shell.NextAnswer();
    ASSERT_EQ(0, collected["result"].GetInt());
    for (const auto& event : collected["events"].GetArray()) {
      events.emplace_back(event["code"].GetUint(), event["severityName"].GetString());
      object = event["object"].GetString();
      EXPECT_STREQ("PHKS750500FQ375AGN", event["serial"].GetString());
    }
  }
  shell.Send("exec plugin 50002");
  EXPECT_EQ(0u, shell.NextAnswer()["events"].Size());
  shell.EndInput();
  EXPECT_EQ(0, shell.Wait());

  // Bits 0x200 and 0x80, handed over last-created first, about the hot drive's adapter.
  const std::vector<std::pair<uint32_t, std::string>> expected = {{10962, "Warning"},
                                                                   {10960, "Critical"}};
  EXPECT_EQ(expected, events);
  EXPECT_EQ(std::to_string(kModuleBits + 3), object);
}

TEST_F(ShellPluginTest, SetAnswersTheValueThePluginApplied) {
  auto answers = Script("create\ninit\nset plugin PollInterval 0\nset plugin PollInterval 9\n");
  ASSERT_EQ(4u, answers.size());
  for (const auto& [answer, applied] : {std::make_pair(2, 2), std::make_pair(3, 9)}) {
    EXPECT_EQ(0, answers[answer]["result"].GetInt());
    EXPECT_EQ(applied, answers[answer]["properties"][0]["value"].GetInt());
  }
  EXPECT_EQ("PollInterval=9\n", home.ReadFile("Varnock.ini"));
}

TEST_F(ShellPluginTest, EndOfScriptOrCtrlCShutsARunningPluginDown) {
  // The end of the input: DeInitialize runs once, then the plug-in is released.
  // At the real time scale: DeInitialize's 25 s limit is reached only by a worker that hangs.
  auto answers = Script("create\ninit\nset-adapter-ids\n", "--trace 2");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(0, last.status);
  std::string trace = home.ReadFile("trace.log");
  EXPECT_NE(std::string::npos, trace.find("LEAVE DeInitialize"));
  EXPECT_EQ(trace.find("ENTER DeInitialize"), trace.rfind("ENTER DeInitialize"));
  EXPECT_NE(std::string::npos, trace.find("LEAVE Worker()"));

  // Ctrl-C while the script waits for its next line does the same.
  home.WriteFile("trace.log", "");
  ShellProcess shell(home, "--trace 2 --time-scale 100 script");
  shell.Send("create\ninit\nset-adapter-ids");
  ASSERT_TRUE(shell.WaitFor("\nset-adapter-ids:")) << shell.Output();
  shell.Signal(SIGINT);
  EXPECT_EQ(0, shell.Wait());
  EXPECT_NE(std::string::npos, home.ReadFile("trace.log").find("LEAVE DeInitialize"));
}

// --- Main job and demo ----------------------------------------------------------------------

TEST_F(ShellPluginTest, MainJobShutsDownCleanlyOnSigterm) {
  ShellProcess shell(home, "--time-scale 10");
  ASSERT_TRUE(shell.WaitFor("watching for events")) << shell.Output();
  shell.Signal(SIGTERM);
  EXPECT_EQ(0, shell.Wait()) << "killed by the signal instead of shutting down";
  const std::vector<std::string> lines = Lines(shell.Output());
  EXPECT_TRUE(Contains(lines, "== interrupted"));
  EXPECT_TRUE(Contains(lines, "== shutting the plug-in down"));
}

class DemoTest : public ShellTest {
 protected:
  // A copy of the build's demo home (tool and PCI tree), with the drive state and settings
  // fresh from the sources, since runs in the build's home may have changed them.
  void SetUp() override {
    const std::string sources = VARNOCK_DEMO_DIR;
    std::string copy = "cp -r " + Quote(BuiltProgram("demo-home")) + "/. " + Quote(home.Dir()) +
                       " && cp " + Quote(sources + "/drives.json") + " " +
                       Quote(home.Path("bin/drives.json")) + " && cp " +
                       Quote(sources + "/Varnock.ini") + " " + Quote(sources + "/CustomOpts.ini") +
                       " " + Quote(home.Dir()) + " && rm -f " + Quote(home.Dir()) + "/host.db* " +
                       Quote(home.Path("trace.log"));
    ASSERT_EQ(0, std::system(copy.c_str()));
  }
};

TEST_F(DemoTest, PlaysHeatCoolRemovalAndReturnAndEndsByItself) {
  // Each step waits 180 s of toolkit time for its event: at 20 times faster that is 9 s, room
  // enough for a full pass of four drives under the sanitizers on a busy machine.
  last = Run("--json --time-scale 20 demo");
  EXPECT_EQ(0, last.status) << last.errors;
  std::vector<uint32_t> codes;
  std::vector<std::string> said;
  for (const std::string& line : last.lines) {
    rapidjson::Document answer;
    answer.Parse(line.c_str());
    if (answer.HasParseError() || !answer.IsObject()) continue;
    std::string cmd = answer["cmd"].GetString();
    if (cmd == "say") said.push_back(answer["text"].GetString());
    if (cmd != "events") continue;
    for (const auto& event : answer["events"].GetArray()) codes.push_back(event["code"].GetUint());
  }
  const std::vector<uint32_t> expected = {10967, 10962, 10960, 10980, 11094, 11093};
  EXPECT_EQ(expected, codes);
  EXPECT_FALSE(Contains(said, "no such event within 180 s; going on"));
  ASSERT_FALSE(said.empty());
  EXPECT_EQ("shutting the plug-in down", said.back());
}

}  // namespace
