// End-to-end checks of the host shell: the built varnock-host runs as a child process on a
// temporary home, loads the built plug-in, and answers script lines with JSON lines.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "DriveState.h"
#include "TestHome.h"

namespace {

constexpr uint64_t kModuleBits = 309ULL << 48;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string Shell() { return BuiltProgram("tools/host/varnock-host"); }

struct ShellRun {
  int status = -1;
  std::vector<std::string> lines;  // standard output, line by line
  std::string errors;              // standard error
};

class ShellTest : public ::testing::Test {
 protected:
  // A home with the tool stand-in, the drives of `fixture` and one PCI function per drive.
  void AddDrives(const std::string& fixture, int count) {
    home.InstallTool();
    home.UseFixture(fixture);
    for (int i = 0; i < count; ++i)
      home.AddPciDevice("0000:0" + std::to_string(i + 3) + ":00.0", "0x8086", "0x0a54");
  }

  // Runs the shell with `args` and `input` on standard input, to the end.
  ShellRun Run(const std::string& args, const std::string& input = "") {
    home.WriteFile("input.txt", input);
    std::string command = Quote(Shell()) + " --home " + Quote(home.Dir()) + " " + args + " < " +
                          Quote(home.Path("input.txt")) + " 2> " + Quote(home.Path("errors.txt"));
    ShellRun run;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return run;
    char buffer[1 << 16];
    while (fgets(buffer, sizeof buffer, out) != nullptr) {
      std::string line = buffer;
      if (!line.empty() && line.back() == '\n') line.pop_back();
      run.lines.push_back(line);
    }
    int status = pclose(out);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// --- Command line -------------------------------------------------------------------------

TEST_F(ShellTest, HelpExplainsEveryOptionAndScriptLine) {
  ShellRun run = Run("--help");
  EXPECT_EQ(0, run.status);
  for (const char* word : {"--home", "--plugin", "--json", "--trace", "--time-scale",
                           "--tool-timeout", "--seconds", "demo", "script", "create", "release",
                           "init", "set-adapter-ids", "deinit", "call CODE", "topology", "props",
                           "get OBJECT", "set OBJECT", "ops", "check", "exec", "wait-notify",
                           "sleep", "adapter:SERIAL", "drive:SERIAL"}) {
    EXPECT_TRUE(Contains(run.lines, word)) << word;
  }
}

TEST_F(ShellTest, BadCommandLinesExitWithTwoAndSayWhy) {
  struct Case {
    const char* args;
    const char* message;
  };
  const Case cases[] = {
      {"--frobnicate", "unknown option \"--frobnicate\""},
      {"--time-scale 0", "--time-scale needs a number above 0"},
      {"--time-scale fast", "--time-scale needs a number above 0"},
      {"--trace 0x1g", "--trace needs a 32-bit mask"},
      {"--seconds -1", "--seconds needs a number of seconds"},
      {"--tool-timeout", "--tool-timeout needs a value"},
      {"dance", "unknown command \"dance\""},
      {"script demo", "only one command"},
  };
  for (const Case& c : cases) {
    ShellRun run = Run(c.args);
    EXPECT_EQ(2, run.status) << c.args;
    EXPECT_NE(std::string::npos, run.errors.find(c.message)) << c.args << ": " << run.errors;
    EXPECT_TRUE(run.lines.empty()) << c.args;
  }
  ShellRun run = Run("--home " + home.Path("missing") + " script");
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.errors.find("is not a directory")) << run.errors;
}

TEST_F(ShellTest, UnloadablePluginFailsWithOne) {
  ShellRun run = Run("--plugin " + home.Path("nothing.so") + " script", "create\n");
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.errors.find("cannot load")) << run.errors;
}

// --- Script grammar -----------------------------------------------------------------------

TEST_F(ShellTest, CodesOutsideTheTableGiveOutOfRange) {
  auto answers = Script("create\ncall 0\ncall -1\ncall 11\ncall 0 plugin\nrelease\n");
  ASSERT_EQ(6u, answers.size());
  EXPECT_STREQ("create", answers[0]["cmd"].GetString());
  EXPECT_EQ(0, answers[0]["result"].GetInt());
  EXPECT_EQ(2, answers[0]["interfaceWord"].GetInt());
  EXPECT_EQ(309, answers[0]["moduleWord"].GetInt());
  for (int i = 1; i <= 4; ++i) {
    EXPECT_STREQ("call", answers[i]["cmd"].GetString());
    EXPECT_EQ(20002, answers[i]["result"].GetInt()) << i;
  }
  EXPECT_EQ(0, answers[1]["code"].GetInt());
  EXPECT_EQ(-1, answers[2]["code"].GetInt());
  EXPECT_EQ(11, answers[3]["code"].GetInt());
  EXPECT_EQ(0, answers[5]["result"].GetInt());
  EXPECT_EQ(0, last.status);
}

TEST_F(ShellTest, BadLinesAnswerAnErrorAndTheScriptGoesOn) {
  auto answers = Script(
      "# a comment\n"
      "\n"
      "   \n"
      "call 1\n"                // no plug-in yet
      "frobnicate now\n"        // unknown
      "create\n"
      "create\n"                // twice
      "call one\n"              // not a code
      "call 99999999999\n"      // out of 32 bits
      "props\n"                 // missing object
      "props adapter:NOPE\n"    // no such object
      "props sideways\n"        // not an object name
      "get plugin 30005 more\n" // too many words
      "get plugin x\n"
      "set plugin 30005 abc\n"  // not a bounded integer
      "wait-notify soon\n"
      "sleep -1\n"
      "release\n");
  ASSERT_EQ(15u, answers.size());
  const char* commands[] = {"call", "frobnicate", "create", "create", "call",
                            "call", "props", "props", "props", "get",
                            "get", "set", "wait-notify", "sleep", "release"};
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_STREQ(commands[i], answers[i]["cmd"].GetString()) << i;
    bool ok = i == 2 || i == 14;
    EXPECT_EQ(ok ? 0 : -1, answers[i]["result"].GetInt()) << i;
    EXPECT_EQ(!ok, answers[i].HasMember("error")) << i;
  }
  EXPECT_EQ(0, last.status);
}

TEST_F(ShellTest, WaitNotifyWithoutWorkerTimesOut) {
  auto answers = Script("create\nwait-notify 2\nrelease\n", "--time-scale 100");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(0, answers[1]["result"].GetInt());
  EXPECT_FALSE(answers[1]["notified"].GetBool());
}

// --- The plug-in driven through the shell -------------------------------------------------

class ShellPluginTest : public ShellTest {
 protected:
  void SetUp() override {
    AddDrives("two-drives.json", 2);
    home.WriteFile("Varnock.ini", "PollInterval=2\n");
  }

  static const rapidjson::Value* Property(const rapidjson::Value& properties, uint32_t id) {
    for (const auto& property : properties.GetArray()) {
      if (property["id"].GetUint() == id) return &property;
    }
    return nullptr;
  }

  // Heats the drive with this serial (an atomic save, as the tool's state requires).
  void SetTemperature(const std::string& serial, int degrees) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home.Path("bin/drives.json"), state, error)) << error;
    isdct::Drive* drive = state.FindBySerial(serial);
    ASSERT_NE(nullptr, drive);
    drive->temperature = degrees;
    ASSERT_TRUE(isdct::SaveState(home.Path("bin/drives.json"), state, error)) << error;
  }
};

TEST_F(ShellPluginTest, LifecycleNumbersAdaptersAndListsTheTopologyInOrder) {
  auto answers = Script("create\ninit\nset-adapter-ids\ntopology\ndeinit\nrelease\n");
  ASSERT_EQ(6u, answers.size());
  // The plug-in's own line stays a plain line before the init answer.
  EXPECT_TRUE(Contains(last.lines, "Varnock:  Initialize:  adapter count is 2"));

  const auto& init = answers[1];
  EXPECT_STREQ("init", init["cmd"].GetString());
  EXPECT_EQ(0, init["result"].GetInt());
  ASSERT_EQ(2u, init["adapterIds"].Size());
  EXPECT_EQ(3, init["adapterIds"][0]["bus"].GetInt());
  EXPECT_EQ(4, init["adapterIds"][1]["bus"].GetInt());
  EXPECT_EQ(-1, init["adapterIds"][0]["adapterNumber"].GetInt());

  const auto& set = answers[2];
  EXPECT_EQ(0, set["result"].GetInt());
  EXPECT_EQ(0, set["adapterIds"][0]["adapterNumber"].GetInt());
  EXPECT_EQ(1, set["adapterIds"][1]["adapterNumber"].GetInt());

  // Plug-in object, adapters, drives; identifiers exact, each drive under its adapter.
  const auto& objects = answers[3]["objects"];
  ASSERT_EQ(5u, objects.Size());
  const uint32_t types[] = {19006, 19038, 19038, 19018, 19018};
  const uint64_t ids[] = {kModuleBits, kModuleBits + 1, kModuleBits + 3, kModuleBits + 2,
                          kModuleBits + 4};
  for (rapidjson::SizeType i = 0; i < 5; ++i) {
    EXPECT_EQ(types[i], objects[i]["type"].GetUint()) << i;
    ASSERT_TRUE(objects[i]["id"].IsUint64()) << i;
    EXPECT_EQ(ids[i], objects[i]["id"].GetUint64()) << i;
  }
  EXPECT_EQ(2u, objects[0]["children"].Size());
  EXPECT_EQ(kModuleBits + 1, objects[3]["parents"][0].GetUint64());
  EXPECT_EQ(kModuleBits + 3, objects[4]["parents"][0].GetUint64());
  ASSERT_EQ(1u, objects[0]["operations"].Size());
  EXPECT_EQ(50002u, objects[0]["operations"][0]["id"].GetUint());
  EXPECT_STREQ("adapter:PHLE812300AB1P6AGN", objects[1]["name"].GetString());

  const rapidjson::Value* status = Property(objects[1]["properties"], 30017);
  ASSERT_NE(nullptr, status);
  EXPECT_STREQ("enumeration", (*status)["kind"].GetString());
  EXPECT_EQ(40024, (*status)["value"].GetInt());
  EXPECT_EQ(3u, (*status)["allowed"].Size());

  EXPECT_EQ(0, answers[4]["result"].GetInt());
  EXPECT_EQ(0, answers[5]["result"].GetInt());
  EXPECT_EQ(2, home.CountRows("Adapter"));
  EXPECT_EQ(2, home.CountRows("PD"));
}

TEST_F(ShellPluginTest, SetBuildsThePropertyFromTheCurrentOneAndWritesItBack) {
  auto answers = Script(
      "create\ninit\n"
      "get plugin 30005\n"
      "set plugin 30005 1\n"
      "get plugin 30005\n"
      "set plugin 30005 300\n"
      "get plugin 30005\n"
      "set plugin 30007 Other name\n"
      "set adapter:PHLE812300AB1P6AGN 30007 x\n"
      "get drive:PHLE812300AB1P6AGN 99999\n"
      "deinit\nrelease\n");
  ASSERT_EQ(12u, answers.size());
  const auto& before = answers[2]["properties"][0];
  EXPECT_EQ(2, before["value"].GetInt());
  EXPECT_EQ(2, before["min"].GetInt());
  EXPECT_EQ(255, before["max"].GetInt());
  EXPECT_EQ(1, before["step"].GetInt());
  EXPECT_TRUE(before["settable"].GetBool());

  // The shell passes the value as given; the plug-in clamps it to the bounds it carries.
  EXPECT_EQ(0, answers[3]["result"].GetInt());
  EXPECT_EQ(1, answers[3]["properties"][0]["value"].GetInt());
  EXPECT_EQ(2, answers[4]["properties"][0]["value"].GetInt());
  EXPECT_EQ(0, answers[5]["result"].GetInt());
  EXPECT_EQ(255, answers[6]["properties"][0]["value"].GetInt());
  EXPECT_NE(std::string::npos, home.ReadFile("Varnock.ini").find("PollInterval=255"));

  EXPECT_EQ(20004, answers[7]["result"].GetInt());
  EXPECT_EQ(20004, answers[8]["result"].GetInt());
  EXPECT_EQ(20000, answers[9]["result"].GetInt());
  EXPECT_EQ(0u, answers[9]["properties"].Size());
}

TEST_F(ShellPluginTest, NumericObjectsReachTheirTargetAndUnknownOnesAreRefused) {
  const std::string adapter = std::to_string(kModuleBits + 1);
  auto answers = Script("create\ninit\nprops " + adapter + "\nprops 0x135000000000001\n" +
                        "props 12345\nops " + adapter + "\ncheck drive:PHLE812300AB1P6AGN 50026\n" +
                        "exec drive:PHLE812300AB1P6AGN 1\nrelease\n");
  ASSERT_EQ(9u, answers.size());
  EXPECT_EQ(0, answers[2]["result"].GetInt());
  EXPECT_EQ(kModuleBits + 1, answers[2]["object"].GetUint64());
  EXPECT_EQ(answers[2]["properties"].Size(), answers[3]["properties"].Size());
  EXPECT_EQ(20008, answers[4]["result"].GetInt());
  EXPECT_EQ(0u, answers[4]["properties"].Size());
  EXPECT_EQ(0, answers[5]["result"].GetInt());
  EXPECT_EQ(0u, answers[5]["operations"].Size());
  EXPECT_EQ(0, answers[6]["result"].GetInt());
  EXPECT_EQ(20005, answers[7]["result"].GetInt());
  EXPECT_EQ(0u, answers[7]["events"].Size());
}

TEST_F(ShellPluginTest, NoSupportedDeviceOrFailingToolFailsInit) {
  auto answers = Script("create\ninit\nrelease\n", "--time-scale 100");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(0, answers[1]["result"].GetInt());

  home.WriteFile("bin/drives.json",
                 R"({"fault": {"kind": "empty", "page": "inventory"}, "drives": []})");
  answers = Script("create\ninit\nrelease\n");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(20012, answers[1]["result"].GetInt());
  EXPECT_EQ(0u, answers[1]["adapterIds"].Size());
  EXPECT_TRUE(Contains(last.lines, "adapter count is 0"));

  // A tool that hangs is killed at the time limit and counts as failed.
  home.WriteFile("bin/drives.json",
                 R"({"fault": {"kind": "hang", "page": "inventory"}, "drives": []})");
  answers = Script("create\ninit\nrelease\n", "--tool-timeout 0.5");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(20012, answers[1]["result"].GetInt());

  home.WriteFile("bin/drives.json",
                 R"({"fault": {"kind": "empty", "page": "inventory"}, "drives": []})");
  // The main job gives up with a message and exit status 1, after releasing the plug-in.
  ShellRun run = Run("--seconds 1 --time-scale 100");
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.errors.find("Initialize failed: 20012")) << run.errors;

  for (int i = 0; i < 2; ++i) {
    std::string address = "pci/0000:0" + std::to_string(i + 3) + ":00.0/device";
    home.WriteFile(address, "0x0001\n");
  }
  answers = Script("create\ninit\nrelease\n");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(20001, answers[1]["result"].GetInt());
}

TEST_F(ShellPluginTest, HeatedDriveRaisesTemperatureEventsCollectedThroughOperation50002) {
  // The state changes while the shell runs, so the script comes through a FIFO line by line.
  std::string fifo = home.Path("input.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string command = Quote(Shell()) + " --home " + Quote(home.Dir()) +
                        " --json --time-scale 50 script < " + Quote(fifo);
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, out);
  FILE* in = fopen(fifo.c_str(), "w");
  ASSERT_NE(nullptr, in);
  auto send = [&](const std::string& line) {
    fputs((line + "\n").c_str(), in);
    fflush(in);
  };
  auto next = [&]() {
    rapidjson::Document answer;
    char buffer[1 << 16];
    while (fgets(buffer, sizeof buffer, out) != nullptr) {
      if (buffer[0] != '{') continue;
      answer.Parse(buffer);
      return answer;
    }
    answer.Parse(R"({"cmd": "eof", "result": -1})");
    return answer;
  };

  send("create");
  send("init");
  send("set-adapter-ids");
  send("sleep 1");
  for (int i = 0; i < 4; ++i) next();  // after this the worker runs and has made a first pass
  SetTemperature("PHKS750500FQ375AGN", 86);

  // Notifications come for every full pass; collect until the temperature events are in.
  std::vector<std::pair<uint32_t, uint32_t>> events;  // code, severity
  uint64_t object = 0;
  for (int attempt = 0; attempt < 20 && events.size() < 2; ++attempt) {
    send("wait-notify 600");
    rapidjson::Document notified = next();
    ASSERT_STREQ("wait-notify", notified["cmd"].GetString());
    ASSERT_TRUE(notified["notified"].GetBool());
    send("exec plugin 50002");
    rapidjson::Document collected = next();
    ASSERT_EQ(0, collected["result"].GetInt());
    for (const auto& event : collected["events"].GetArray()) {
      events.emplace_back(event["code"].GetUint(), event["severity"].GetUint());
      object = event["object"].GetUint64();
    }
  }
  send("exec plugin 50002");
  rapidjson::Document again = next();
  fclose(in);
  int status = pclose(out);

  // Bits 0x200 and 0x80, handed over last-created first, about the hot drive's adapter.
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {{10962, 3}, {10960, 4}};
  EXPECT_EQ(expected, events);
  EXPECT_EQ(kModuleBits + 3, object);
  EXPECT_EQ(0u, again["events"].Size());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(ShellPluginTest, ReadableAnswersNameTheResultAndTheValuesWithUnits) {
  last = Run("script", "create\ninit\nget plugin 30005\ncall 0\nbogus\nrelease\n");
  EXPECT_EQ(0, last.status);
  EXPECT_TRUE(Contains(last.lines, "get: 0 (success)  object=" + std::to_string(kModuleBits)));
  EXPECT_TRUE(Contains(last.lines, "  30005 Poll interval = 2 s  [bounded 2..255 step 1, settable]"));
  EXPECT_TRUE(Contains(last.lines, "call: 20002 (function code out of range)  code=0"));
  EXPECT_TRUE(Contains(last.lines, "bogus: -1 (shell error)"));
}

TEST_F(ShellPluginTest, EndOfScriptOrCtrlCShutsARunningPluginDown) {
  // The end of the input: DeInitialize runs once, then the plug-in is released.
  auto answers = Script("create\ninit\nset-adapter-ids\n", "--trace 2 --time-scale 100");
  ASSERT_EQ(3u, answers.size());
  EXPECT_EQ(0, last.status);
  std::string trace = home.ReadFile("trace.log");
  EXPECT_NE(std::string::npos, trace.find("LEAVE DeInitialize"));
  EXPECT_EQ(trace.find("ENTER DeInitialize"), trace.rfind("ENTER DeInitialize"));
  EXPECT_NE(std::string::npos, trace.find("LEAVE Worker()"));

  // Ctrl-C while the script waits for its next line does the same.
  home.WriteFile("trace.log", "");
  std::string fifo = home.Path("input.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string command = "echo $$; exec " + Quote(Shell()) + " --home " + Quote(home.Dir()) +
                        " --trace 2 --time-scale 100 script < " + Quote(fifo);
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, out);
  FILE* in = fopen(fifo.c_str(), "w");
  ASSERT_NE(nullptr, in);
  fputs("create\ninit\nset-adapter-ids\n", in);
  fflush(in);
  char buffer[4096];
  pid_t pid = 0;
  while (fgets(buffer, sizeof buffer, out) != nullptr) {
    if (pid == 0) pid = static_cast<pid_t>(std::atoi(buffer));
    if (std::string(buffer).find("set-adapter-ids:") == 0) kill(pid, SIGINT);
  }
  int status = pclose(out);
  fclose(in);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(std::string::npos, home.ReadFile("trace.log").find("LEAVE DeInitialize"));
}

// --- Main job and demo ----------------------------------------------------------------------

TEST_F(ShellPluginTest, MainJobShowsTheDrivesAndShutsDownAfterItsTime) {
  ShellRun run = Run("--seconds 2 --time-scale 100");
  EXPECT_EQ(0, run.status) << run.errors;
  ASSERT_GE(run.lines.size(), 4u);
  EXPECT_EQ("Varnock:  Initialize:  adapter count is 2", run.lines[0]);
  EXPECT_EQ(0u, run.lines[1].find("Name")) << run.lines[1];
  EXPECT_TRUE(Contains(run.lines, "PHLE812300AB1P6AGN"));
  EXPECT_TRUE(Contains(run.lines, "PHKS750500FQ375AGN"));
  // Columns line up: every serial starts where the heading says.
  size_t column = run.lines[1].find("Serial");
  EXPECT_EQ(column, run.lines[2].find("PHLE812300AB1P6AGN"));
  EXPECT_EQ(column, run.lines[3].find("PHKS750500FQ375AGN"));
  EXPECT_EQ("== shutting the plug-in down", run.lines.back());
}

TEST_F(ShellPluginTest, MainJobShutsDownCleanlyOnSigterm) {
  // The shell replaces the shell that popen starts, so the first line names its process.
  std::string command = "echo $$; exec " + Quote(Shell()) + " --home " + Quote(home.Dir()) +
                        " --time-scale 10 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, out);
  std::vector<std::string> lines;
  char buffer[4096];
  pid_t pid = 0;
  while (fgets(buffer, sizeof buffer, out) != nullptr) {
    lines.emplace_back(buffer);
    if (pid == 0) pid = static_cast<pid_t>(std::atoi(buffer));
    if (lines.back().find("watching for events") != std::string::npos) kill(pid, SIGTERM);
  }
  int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by the signal instead of shutting down";
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(Contains(lines, "== interrupted"));
  EXPECT_TRUE(Contains(lines, "== shutting the plug-in down"));
}

TEST_F(ShellPluginTest, JsonMainJobListsTheDrivesAsObjects) {
  ShellRun run = Run("--json --seconds 2 --time-scale 100");
  EXPECT_EQ(0, run.status) << run.errors;
  ASSERT_GE(run.lines.size(), 3u);
  rapidjson::Document drives;
  drives.Parse(run.lines[1].c_str());
  ASSERT_FALSE(drives.HasParseError()) << run.lines[1];
  EXPECT_STREQ("drives", drives["cmd"].GetString());
  ASSERT_EQ(5u, drives["objects"].Size());
  EXPECT_STREQ("adapter:PHKS750500FQ375AGN", drives["objects"][2]["name"].GetString());
  EXPECT_EQ(R"({"cmd":"say","result":0,"text":"shutting the plug-in down"})", run.lines.back());
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
    original = home.ReadFile("bin/drives.json");
  }

  std::string original;
};

TEST_F(DemoTest, PlaysHeatCoolRemovalAndReturnThenRestoresTheState) {
  last = Run("--json --time-scale 50 demo");
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
  EXPECT_EQ(0u, std::count(said.begin(), said.end(), std::string("no such event within 180 s; going on")));
  ASSERT_FALSE(said.empty());
  EXPECT_EQ("shutting the plug-in down", said.back());
  // The drive state is back as the demo found it (same drives, same values).
  isdct::State before, after;
  std::string error;
  ASSERT_TRUE(isdct::ParseState(original, before, error)) << error;
  ASSERT_TRUE(isdct::LoadState(home.Path("bin/drives.json"), after, error)) << error;
  EXPECT_EQ(isdct::FormatState(before), isdct::FormatState(after));
}

}  // namespace
