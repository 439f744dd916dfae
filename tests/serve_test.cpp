// The fleet view: the metrics text and the picture behind it, then varnock-host serve end to end
// on temporary homes with the tool stand-in, checked by promtool, a Prometheus server, headless
// Chromium and raw sockets, all on loopback.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "DriveState.h"
#include "Fleet.h"
#include "Metrics.h"
#include "Serve.h"
#include "ShellProcess.h"
#include "TestHome.h"

namespace {

using host_shell::FleetState;
using host_shell::FleetView;

constexpr const char* kPlain = "PHLE812300AB1P6AGN";  // its adapter shows no temperature
constexpr const char* kHot = "PHKS750500FQ375AGN";    // the one whose adapter does
constexpr uint64_t kPluginId = 309ULL << 48;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// promtool finds nothing to say about a metrics text (written into the home to be read).
void ExpectPromtoolAccepts(const TestHome& home, const std::string& metrics) {
  const std::string promtool = FindProgram("promtool");
  ASSERT_FALSE(promtool.empty()) << "promtool is missing: scripts/setup.sh installs prometheus";
  home.WriteFile("metrics.txt", metrics);
  EXPECT_EQ(0, std::system((promtool + " check metrics < " + home.Path("metrics.txt") + " > " +
                            home.Path("promtool.out") + " 2>&1").c_str()))
      << home.ReadFile("promtool.out");
  EXPECT_EQ("", home.ReadFile("promtool.out")) << metrics;
}

// --- The metrics text ---------------------------------------------------------------------

PI::CProperty Text(uint32_t id, const std::string& value) {
  PI::CProperty property(id, false);
  property.SetValue(value);
  return property;
}

// A read-only number; `SetValue` picks the kind from the value's type.
template <typename Number>
PI::CProperty Value(uint32_t id, Number value, uint32_t units = PI::UNIT_NONE) {
  PI::CProperty property(id, false);
  property.SetValue(value);
  property.SetUnits(units);
  return property;
}

PI::CProperty Bounded(uint32_t id, int32_t value) {
  PI::CProperty property(id, false);
  property.SetValue(value, 0, 100, 1);
  return property;
}

PI::CObject Object(uint64_t id, uint32_t type, std::vector<PI::CProperty> properties,
                   std::vector<uint64_t> parents = {}) {
  PI::CObject object;
  object.m_ID = id;
  object.m_Type = type;
  object.m_Properties = std::move(properties);
  object.m_Parents = std::move(parents);
  return object;
}

std::vector<PI::CProperty> Location(uint64_t bus) {
  return {Value<uint64_t>(30479, 0), Value<uint64_t>(30037, bus), Value<uint64_t>(30038, 0),
          Value<uint64_t>(30039, 1)};
}

// A plug-in object, one adapter showing everything, one showing almost nothing whose drive
// carries the temperature.
std::vector<PI::CObject> TwoDrives() {
  PI::CProperty poll(30005, true);
  poll.SetValue(7, 2, 255, 1);
  PI::CProperty status(30017, false);
  status.SetValue(40150, {40024, 40150, 40095});
  PI::CProperty warnings(30165, false);
  warnings.SetValue({40459, 40460, 12345}, {});

  std::vector<PI::CProperty> full = {
      Text(30022, "SER\"1\\"), Text(30063, "SSDPED1K375GA"), status,
      Value<float>(30442, 36.6f, PI::UNIT_CELSIUS), Bounded(30486, 97), Bounded(30488, 10),
      Bounded(30494, 3), Value<float>(30489, 10.74f, PI::UNIT_TB),
      Value<float>(30490, 536.87f, PI::UNIT_GB), Value<uint64_t>(30498, 8760, PI::UNIT_HOURS),
      Value<uint64_t>(30189, (1ULL << 60) + 1), warnings,
      Text(30483, "2026-12-09"), Text(30247, "/dev/nvme0n1")};
  for (const PI::CProperty& part : Location(3)) full.push_back(part);
  return {
      Object(kPluginId, 19006, {poll, Text(30099, "7.20.0")}),
      Object(kPluginId + 1, 19038, full),
      Object(kPluginId + 3, 19038, {Text(30022, "SER2")}),
      Object(kPluginId + 4, 19018, {Value<float>(30069, 41, PI::UNIT_CELSIUS)}, {kPluginId + 3}),
  };
}

TEST(MetricsTest, EscapesAndSpellsValuesAsPrometheusReadsThem) {
  EXPECT_EQ("a\\\"b\\\\c\\nd", host_shell::EscapeLabelValue("a\"b\\c\nd"));
  // Bytes that are not UTF-8 become U+FFFD; other control characters are spelled out.
  EXPECT_EQ("a\xEF\xBF\xBD(b\\\\x1b[2J\\\\x00\xC3\xA9",
            host_shell::EscapeLabelValue(std::string("a\xC3\x28" "b\x1b[2J\0\xC3\xA9", 11)));
  EXPECT_EQ("say \"x\" \\\\ y\\n", host_shell::EscapeHelp("say \"x\" \\ y\n"));
  const std::pair<double, const char*> numbers[] = {
      {0.1, "0.1"}, {31, "31"}, {-0.0, "0"}, {1e21, "1e+21"}, {1.0 / 3, "0.3333333333333333"},
      {NAN, "NaN"}, {INFINITY, "+Inf"}, {-INFINITY, "-Inf"}};
  for (const auto& [value, text] : numbers) EXPECT_EQ(text, host_shell::FormatDouble(value));

  int64_t seconds = -1;
  EXPECT_TRUE(host_shell::DateToUnixSeconds("1970-01-01", seconds));
  EXPECT_EQ(0, seconds);
  EXPECT_TRUE(host_shell::DateToUnixSeconds("2000-02-29", seconds));
  EXPECT_EQ(951782400, seconds);
  EXPECT_TRUE(host_shell::DateToUnixSeconds("2026-12-09", seconds));
  EXPECT_EQ(1796774400, seconds);
  for (const char* bad : {"2023-02-29", "2026-13-01", "2026-04-31", "26-1-1", "2026-12-09x",
                          "2026/12/09", "", "abcd-ef-gh"})
    EXPECT_FALSE(host_shell::DateToUnixSeconds(bad, seconds)) << bad;
}

TEST(MetricsTest, EachDriveValueBecomesOneSampleInBaseUnits) {
  FleetState state;
  state.up = true;
  state.objects = TwoDrives();
  state.eventCounts = {{10962, 2}, {10960, 1}};
  state.lastNotificationMs = 1700000000250;
  const std::string text = host_shell::RenderMetrics(state);

  const std::string one =
      R"({serial="SER\"1\\",model="SSDPED1K375GA",pci="0000:03:00.1",device="nvme0n1"})";
  const std::string two = R"({serial="SER2",model="",pci=""})";
  for (const std::string& line : std::vector<std::string>{
           "varnock_up 1", "varnock_poll_interval_seconds 7", "varnock_drives 2",
           "varnock_events_total{code=\"10960\"} 1", "varnock_events_total{code=\"10962\"} 2",
           "varnock_last_notification_timestamp_seconds 1700000000.25",
           "varnock_nvme_temperature_celsius" + one + " 36.6",
           "varnock_nvme_temperature_celsius" + two + " 41",
           "varnock_nvme_available_spare_ratio" + one + " 0.97",
           "varnock_nvme_available_spare_threshold_ratio" + one + " 0.1",
           "varnock_nvme_endurance_used_ratio" + one + " 0.03",
           "varnock_nvme_read_bytes_total" + one + " 10740000000000",
           "varnock_nvme_written_bytes_total" + one + " 536870000000",
           "varnock_nvme_power_on_seconds_total" + one + " 31536000",
           "varnock_nvme_media_errors_total" + one + " 1152921504606846977",
           "varnock_nvme_critical_warning" + one + " 3",
           "varnock_nvme_critical_warning" + two + " 0",
           "varnock_nvme_end_of_life_timestamp_seconds" + one + " 1796774400",
           "varnock_nvme_status" + one.substr(0, one.size() - 1) + ",state=\"Warning\"} 1",
           "varnock_nvme_status" + one.substr(0, one.size() - 1) + ",state=\"OK\"} 0",
           "varnock_nvme_info" + one.substr(0, one.size() - 1) + ",firmware=\"\"} 1",
           "varnock_nvme_info{serial=\"SER2\",model=\"\",pci=\"\",firmware=\"\"} 1"}) {
    EXPECT_TRUE(Has(text, line + "\n")) << line << "\n" << text;
  }
  // What the second adapter does not show has no sample; promtool judges the families' headers
  // and the grouping of their samples.
  EXPECT_FALSE(Has(text, "varnock_nvme_media_errors_total" + two));
  EXPECT_FALSE(Has(text, "varnock_nvme_status" + two.substr(0, two.size() - 1)));
  EXPECT_TRUE(Has(text, ",plugin_version=\"7.20.0\",commit=\"")) << text;
  TestHome home;
  ExpectPromtoolAccepts(home, text);
}

TEST(FleetViewTest, KeepsTheLastEventsCountsThemAndFollowsTheTopology) {
  FleetView view;
  EXPECT_TRUE(Has(view.Render()->metrics, "varnock_up 0\n"));
  view.SetRunning(true);
  view.SetTopology(0, TwoDrives());
  EXPECT_TRUE(Has(view.Render()->metrics, "varnock_up 1\n"));
  EXPECT_EQ(7, view.PollSeconds(30));

  std::vector<PI::CEvent> events(FleetView::kKeptEvents + 5);
  for (size_t i = 0; i < events.size(); ++i) {
    events[i].m_ObjectID = kPluginId + 3;
    events[i].m_Code = i < 5 ? 11094 : 10962;
    events[i].m_Time = i;
  }
  // The objects re-read after the collection no longer hold the adapter the events are about.
  std::vector<PI::CObject> after = TwoDrives();
  after.erase(after.begin() + 2);
  view.Collected(0, events, after, 5000);

  std::shared_ptr<const host_shell::Pages> pages = view.Render();
  rapidjson::Document answer;
  answer.Parse(pages->events.c_str());
  ASSERT_FALSE(answer.HasParseError()) << pages->events;
  EXPECT_STREQ("exec", answer["cmd"].GetString());
  EXPECT_EQ(std::to_string(kPluginId), answer["object"].GetString());
  EXPECT_EQ(105u, answer["sequence"].GetUint64());
  ASSERT_EQ(FleetView::kKeptEvents, answer["events"].Size());
  EXPECT_EQ(5u, answer["events"][0]["time"].GetUint64());
  EXPECT_STREQ("adapter:SER2", answer["events"][0]["objectName"].GetString());
  EXPECT_TRUE(Has(pages->metrics, "varnock_events_total{code=\"11094\"} 5\n"));
  EXPECT_TRUE(Has(pages->metrics, "varnock_events_total{code=\"10962\"} 100\n"));
  EXPECT_TRUE(Has(pages->metrics, "varnock_last_notification_timestamp_seconds 5\n"));
  EXPECT_TRUE(Has(pages->metrics, "varnock_drives 1\n"));

  // A failed topology request keeps the last objects but says the picture is not fresh.
  view.SetTopology(20000, {});
  pages = view.Render();
  EXPECT_TRUE(Has(pages->metrics, "varnock_up 0\n"));
  EXPECT_TRUE(Has(pages->topology, "\"result\":20000"));
  EXPECT_TRUE(Has(pages->topology, "adapter:SER\\\"1\\\\"));
  view.SetTopology(0, after);
  view.SetRunning(false);
  EXPECT_TRUE(Has(view.Render()->metrics, "varnock_up 0\n"));
}

// --- serve end to end ----------------------------------------------------------------------

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.InstallTool();
    home.UseFixture("two-drives.json");
    home.AddPciDevice("0000:03:00.0", "0x8086", "0x0a54");
    home.AddPciDevice("0000:04:00.0", "0x8086", "0x0a54");
    home.WriteFile("Varnock.ini", "PollInterval=2\n");
  }

  // Starts serve on a free port and waits until it says where it serves.
  void StartServing(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = launcher;
    for (const std::string& arg : {BuiltProgram("tools/host/varnock-host"), std::string("--home"),
                                   home.Dir(), std::string("--time-scale"), std::string("20")})
      args.push_back(arg);
    args.insert(args.end(), extra.begin(), extra.end());
    for (const char* arg : {"serve", "--listen", "127.0.0.1:0"}) args.push_back(arg);
    std::filesystem::remove(home.Path("serve.out"));  // not to read an earlier shell's port
    if (!limits.empty()) setenv("VARNOCK_HTTP_LIMITS", limits.c_str(), 1);
    shell = std::make_unique<Child>(args, home.Path("serve.out"), home.Path("serve.err"),
                                    "/dev/null", addressSpace);
    unsetenv("VARNOCK_HTTP_LIMITS");
    std::regex serving("serving on http://127\\.0\\.0\\.1:([0-9]+)/");
    ASSERT_TRUE(Eventually([&] {
      std::smatch match;
      std::string out = home.ReadFile("serve.out");
      if (!std::regex_search(out, match, serving)) return !shell->Running();
      port = std::stoi(match[1]);
      return true;
    }, 60)) << home.ReadFile("serve.err");
    ASSERT_GT(port, 0) << home.ReadFile("serve.out") << home.ReadFile("serve.err");
  }

  std::string Get(const std::string& path, int* status = nullptr) {
    const HttpAnswer answer = HttpGet(port, path, "", 2);  // a scrape never waits on the plug-in
    if (status != nullptr) *status = answer.status;
    return answer.body;
  }

  void ChangeState(const std::function<void(isdct::State&)>& change) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home.Path("bin/drives.json"), state, error)) << error;
    change(state);
    ASSERT_TRUE(isdct::SaveState(home.Path("bin/drives.json"), state, error)) << error;
  }

  void SetTemperature(const std::string& serial, int degrees) {
    ChangeState([&](isdct::State& state) { state.FindBySerial(serial)->temperature = degrees; });
  }

  // The value of the first sample that starts with `sample` ("name{labels}"), or empty.
  std::string Sample(const std::string& metrics, const std::string& sample) {
    const size_t at = metrics.find("\n" + sample);
    if (at == std::string::npos) return "";
    const size_t value = metrics.find(' ', at + 1 + sample.size());
    return metrics.substr(value + 1, metrics.find('\n', value) - value - 1);
  }

  std::string Temperature(const std::string& serial) const {
    return "varnock_nvme_temperature_celsius{serial=\"" + serial + "\"";
  }

  // A Prometheus server scraping the shell every second.
  void StartPrometheus() {
    const std::string program = FindProgram("prometheus");
    ASSERT_FALSE(program.empty()) << "prometheus is missing: scripts/setup.sh installs it";
    const int webPort = FreePort();
    home.WriteFile("prometheus.yml",
                   "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                   "scrape_configs:\n  - job_name: varnock\n    static_configs:\n"
                   "      - targets: ['127.0.0.1:" + std::to_string(port) + "']\n");
    prometheus = std::make_unique<Child>(
        std::vector<std::string>{program, "--config.file=" + home.Path("prometheus.yml"),
                                 "--storage.tsdb.path=" + home.Path("tsdb"),
                                 "--web.listen-address=127.0.0.1:" + std::to_string(webPort),
                                 "--log.level=warn"},
        home.Path("prometheus.out"), home.Path("prometheus.err"));
    apiPort = webPort;
  }

  // The value of an instant query with one result, or empty; `labels` receives its labels.
  std::string Query(const std::string& expression,
                    std::map<std::string, std::string>* labels = nullptr) {
    const HttpAnswer result = HttpGet(apiPort, "/api/v1/query?query=" + UrlEncode(expression));
    if (result.status != 200) return "";
    rapidjson::Document answer;
    answer.Parse(result.body.c_str());
    if (answer.HasParseError() || !answer.HasMember("data")) return "";
    const rapidjson::Value& found = answer["data"]["result"];
    if (found.Size() != 1) return "";
    if (labels != nullptr) {
      for (auto& label : found[0]["metric"].GetObject())
        (*labels)[label.name.GetString()] = label.value.GetString();
    }
    return found[0]["value"][1].GetString();
  }

  TestHome home;
  std::string limits;                 // VARNOCK_HTTP_LIMITS for the shells started
  size_t addressSpace = 0;            // their address space limit in bytes (0: none)
  std::vector<std::string> launcher;  // runs the shell when not empty (with the shell's arguments)
  std::unique_ptr<Child> shell;
  std::unique_ptr<Child> prometheus;
  int apiPort = 0;
  int port = 0;
};

// promtool judges the served text in the hostile-text case, whose metrics hold a plain drive too.
TEST_F(ServeTest, MetricsCarryTheDrivesAndTheJsonViewsAreTheScriptAnswers) {
  StartServing();
  const HttpAnswer result = HttpGet(port, "/metrics");
  EXPECT_EQ(200, result.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", result.Header("Content-Type"));
  for (const std::string& line : std::vector<std::string>{
           "varnock_up 1\n", "varnock_drives 2\n",
        Temperature(kHot) +
            ",model=\"SSDPED1K375GA\",pci=\"0000:04:00.0\",device=\"nvme1n1\"} 31\n",
        "varnock_nvme_info{serial=\"" + std::string(kPlain) + "\",model=\"SSDPE2KE016T7\"",
        "varnock_nvme_power_on_seconds_total{serial=\"" + std::string(kHot) +
            "\",model=\"SSDPED1K375GA\",pci=\"0000:04:00.0\",device=\"nvme1n1\"} 4320000\n"})
    EXPECT_TRUE(Has(result.body, line)) << line << "\n" << result.body;

  rapidjson::Document topology;
  topology.Parse(Get("/api/topology").c_str());
  ASSERT_FALSE(topology.HasParseError());
  EXPECT_STREQ("topology", topology["cmd"].GetString());
  EXPECT_EQ(0, topology["result"].GetInt());
  ASSERT_EQ(5u, topology["objects"].Size());
  EXPECT_EQ(std::to_string(kPluginId + 1), topology["objects"][1]["id"].GetString());
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(ServeTest, RefusesWhatItDoesNotServeWithoutHurtingOtherClients) {
  StartServing();
  int status = 0;
  for (const char* path : {"/nope", "/metrics/x", "/api", "/index.html"}) {
    EXPECT_EQ("404 Not Found\n", Get(path, &status));
    EXPECT_EQ(404, status) << path;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "FROB"}) {
    RawConnection connection(port);
    ASSERT_TRUE(connection.Send(std::string(method) + " /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string answer = connection.Answer();
    EXPECT_EQ(0u, answer.find("HTTP/1.1 405 ")) << method << ": " << answer;
    EXPECT_TRUE(Has(answer, "Allow: GET\r\n")) << method;
  }

  // A request that is not HTTP gets 400; the next client is served.
  RawConnection garbage(port);
  EXPECT_TRUE(garbage.Send("\x01\x02 \xff garbage\r\n\r\n"));
  EXPECT_EQ(0u, garbage.Answer().find("HTTP/1.1 400 "));
  EXPECT_TRUE(Has(Get("/metrics", &status), "varnock_up 1\n"));
  EXPECT_EQ(200, status);
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(ServeTest, AHangingDriveNeverHoldsUpAScrape) {
  ChangeState([](isdct::State& state) {
    isdct::Fault& fault = state.FindBySerial(kPlain)->fault;
    fault.kind = isdct::FaultKind::kHang;
    fault.page = isdct::Run::kSmartHealth;
  });

  // Every pass of the worker now holds the plug-in's data lock for the tool's time limit
  // (3 s), longer than the client waits for an answer (2 s).
  StartServing({"--tool-timeout", "3"});
  for (int i = 0; i < 10; ++i) {
    int status = 0;
    std::string text = Get("/metrics", &status);
    ASSERT_EQ(200, status) << "scrape " << i;
    EXPECT_TRUE(Has(text, Temperature(kHot) + ",")) << text;
    EXPECT_TRUE(Has(text, "varnock_nvme_info{serial=\"" + std::string(kPlain) + "\""));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

// A page open in headless Chromium, read over the browser's DevTools protocol (a WebSocket on
// the loopback): the page refreshes in real time and stays open until the test has what it
// needs, however long the plug-in takes on a slow build.
class DevToolsPage {
 public:
  // Connects to the page whose address starts with `url` in the browser of profile `profile`
  // (started with --remote-debugging-port=0); false when it does not show up within a minute.
  bool Connect(const std::string& profile, const std::string& url) {
    int port = 0;
    std::string path;
    const bool found = Eventually([&] {
      std::ifstream active(profile + "/DevToolsActivePort");
      if (!(active >> port) || port <= 0) return false;
      rapidjson::Document targets;
      targets.Parse(HttpGet(port, "/json/list").body.c_str());
      if (!targets.IsArray()) return false;
      for (const auto& target : targets.GetArray()) {
        const auto text = [&target](const char* name) {
          return target.HasMember(name) && target[name].IsString() ? std::string(target[name].GetString())
                                                                  : std::string();
        };
        if (text("type") == "page" && text("url").rfind(url, 0) == 0) {
          const std::string ws = text("webSocketDebuggerUrl");
          path = ws.substr(ws.find('/', std::string("ws://").size()));
          return true;
        }
      }
      return false;
    }, 60);
    if (!found) return false;
    namespace net = boost::asio;
    net::ip::tcp::resolver resolver(m_Io);
    net::connect(m_Socket.next_layer(), resolver.resolve("127.0.0.1", std::to_string(port)));
    // No call waits on a hung browser for ever.
    const timeval limit = {30, 0};
    setsockopt(m_Socket.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit,
               sizeof limit);
    m_Socket.handshake("127.0.0.1:" + std::to_string(port), path);
    return true;
  }

  // Calls a DevTools method with `params` (a JSON object) and returns its result, or the
  // whole reply when it answered an error.
  rapidjson::Document Call(const std::string& method, const std::string& params = "{}") {
    const int id = ++m_LastId;
    m_Socket.write(boost::asio::buffer("{\"id\":" + std::to_string(id) + ",\"method\":\"" +
                                       method + "\",\"params\":" + params + "}"));
    for (;;) {  // events of domains the page enabled come in between
      boost::beast::flat_buffer buffer;
      m_Socket.read(buffer);
      rapidjson::Document reply;
      reply.Parse(boost::beast::buffers_to_string(buffer.data()).c_str());
      if (!reply.IsObject() || !reply.HasMember("id") || reply["id"] != id) continue;
      if (!reply.HasMember("result")) return reply;
      rapidjson::Document result;
      result.CopyFrom(reply["result"], result.GetAllocator());
      return result;
    }
  }

  // The page's whole document as it stands.
  std::string Dom() {
    const rapidjson::Document result = Call(
        "Runtime.evaluate",
        "{\"expression\":\"document.documentElement.outerHTML\",\"returnByValue\":true}");
    return result.HasMember("result") && result["result"].HasMember("value") &&
                   result["result"]["value"].IsString()
               ? result["result"]["value"].GetString()
               : std::string();
  }

  // A PNG of the page, empty when the browser gave none.
  std::string Screenshot() {
    const rapidjson::Document result = Call("Page.captureScreenshot");
    if (!result.HasMember("data") || !result["data"].IsString()) return "";
    const std::string encoded = result["data"].GetString();
    std::string png(boost::beast::detail::base64::decoded_size(encoded.size()), '\0');
    png.resize(boost::beast::detail::base64::decode(png.data(), encoded.data(), encoded.size())
                   .first);
    return png;
  }

 private:
  boost::asio::io_context m_Io;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> m_Socket{m_Io};
  int m_LastId = 0;
};

TEST_F(ServeTest, StatusPageShowsEveryDriveAndAnEventThatArrivesWhileItIsOpen) {
  const std::string chromium = FindProgram("chromium");
  ASSERT_FALSE(chromium.empty()) << "chromium is missing: scripts/setup.sh installs it";
  StartServing();
  const std::string artifacts = BuiltProgram("test-artifacts");
  std::filesystem::create_directories(artifacts);
  const std::string screenshot = artifacts + "/status-page.png";
  std::filesystem::remove(screenshot);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  Child browser({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + home.Path("chromium"), "--window-size=1600,800",
                 "--remote-debugging-port=0", url},
                home.Path("chromium.out"), home.Path("chromium.err"));
  DevToolsPage page;
  ASSERT_TRUE(page.Connect(home.Path("chromium"), url)) << home.ReadFile("chromium.err");

  // Only once the open page has read the events does the drive heat up.
  const std::regex eventReads("varnock_http_requests_total\\{path=\"/api/events\"\\} ([0-9]+)");
  ASSERT_TRUE(Eventually([&] {
    std::smatch match;
    std::string text = Get("/metrics");
    return std::regex_search(text, match, eventReads) && match[1] != "0";
  }, 60));
  SetTemperature(kHot, 86);
  EXPECT_TRUE(Eventually([&] { return Has(Get("/api/events"), "\"code\":10962"); }, 60));
  std::string dom;
  EXPECT_TRUE(Eventually([&] { return Has(dom = page.Dom(), "data-code=\"10962\""); }, 60))
      << dom;
  {
    std::ofstream png(screenshot, std::ios::binary);
    png << page.Screenshot();
  }
  page.Call("Browser.close");
  EXPECT_EQ(0, browser.Finish(0, 60)) << home.ReadFile("chromium.err");
  EXPECT_TRUE(Has(dom, "data-serial=\"" + std::string(kPlain) + "\"")) << dom;
  EXPECT_TRUE(Has(dom, "data-serial=\"" + std::string(kHot) + "\""));
  EXPECT_TRUE(Has(dom, "Temperature at or above 80 °C (10962)"));
  // The columns are found by the codes the shell fills into the page.
  EXPECT_TRUE(Has(dom, "<td class=\"ok\">OK</td>")) << dom;
  EXPECT_TRUE(std::regex_search(
      dom, std::regex("<td class=\"(warn|bad)\">[A-Za-z]+</td><td class=\"num\">86 °C</td>")))
      << dom;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(dom, match, std::regex("data-code=\"10962\" "
                                                       "data-first-refresh=\"([0-9]+)\"")));
  EXPECT_GT(std::stoi(match[1]), 1) << "the event was there when the page loaded";
  std::ifstream png(screenshot, std::ios::binary);
  std::string signature(8, '\0');
  png.read(signature.data(), 8);
  EXPECT_EQ("\x89PNG\r\n\x1a\n", signature);
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(ServeTest, BadListenAddressesAndBusyPortsExitNonZeroAndSignalsShutDown) {
  const std::string program = BuiltProgram("tools/host/varnock-host");
  for (const char* listen : {"127.0.0.1", "127.0.0.1:65536", "example.org:80", "[::1:80", ":80",
                             "127.0.0.1:0X50", "127.0.0.1:+80"}) {
    Child bad({program, "--home", home.Dir(), "serve", "--listen", listen},
              home.Path("bad.out"), home.Path("bad.err"));
    EXPECT_EQ(2, bad.Finish(0, 30)) << listen;
    EXPECT_TRUE(Has(home.ReadFile("bad.err"), "--listen needs ADDR:PORT")) << listen;
  }

  StartServing({"--trace", "2"});
  Child busy({program, "--home", home.Dir(), "serve", "--listen",
              "127.0.0.1:" + std::to_string(port)},
             home.Path("busy.out"), home.Path("busy.err"));
  EXPECT_EQ(1, busy.Finish(0, 30));
  EXPECT_TRUE(Has(home.ReadFile("busy.err"), "cannot listen on 127.0.0.1:" +
                                                 std::to_string(port) + ": Address already in use"))
      << home.ReadFile("busy.err");

  // A client in the middle of its request does not keep the plug-in from shutting down.
  RawConnection stalled(port);
  ASSERT_TRUE(stalled.Send("GET /metrics HTTP/1.1\r\n"));
  EXPECT_EQ(0, shell->Finish(SIGINT, 60));
  const std::string out = home.ReadFile("serve.out");
  EXPECT_TRUE(Has(out, "== interrupted\n== shutting the plug-in down\n")) << out;
  EXPECT_TRUE(Has(home.ReadFile("trace.log"), "LEAVE DeInitialize"));
}

// --- hostile text from the tool ------------------------------------------------------------

// One drive's identity holds bytes that are not UTF-8, quotes, backslashes, line ends and
// terminal escape sequences (a NUL ends the text at the plug-in). A real Prometheus scrapes the
// shell throughout.
TEST_F(ServeTest, HostileDriveTextStaysDataInMetricsJsonTerminalAndTrace) {
  const std::string serial = "PH\xff\xfe\"q\\b\nNEW 1\x1b[2J\x1b]0;pwn\x07";
  ChangeState([&](isdct::State& state) {
    isdct::Drive& drive = *state.FindBySerial(kPlain);
    drive.serial = serial;
    drive.model = "INTEL SSDPE2KE016T7\xc3(\x9b" "31m";
    drive.firmware = std::string("QDV1\r\x1b[1A", 10) + std::string("\0tail", 5);
  });
  ASSERT_NO_FATAL_FAILURE(StartServing({"--trace", "2"}));
  const std::string metrics = Get("/metrics");
  ExpectPromtoolAccepts(home, metrics);
  EXPECT_TRUE(Has(metrics, "varnock_drives 2\n"));

  rapidjson::Document topology;
  const std::string json = Get("/api/topology");
  topology.Parse<rapidjson::kParseValidateEncodingFlag>(json.c_str());
  EXPECT_FALSE(topology.HasParseError()) << "at byte " << topology.GetErrorOffset();

  // A real Prometheus keeps every drive, and reads the text back as the shell spelled it.
  StartPrometheus();
  std::map<std::string, std::string> labels;
  EXPECT_TRUE(Eventually([&] { return Query("count(varnock_nvme_info)") == "2"; }, 90))
      << home.ReadFile("prometheus.err");
  EXPECT_EQ("1", Query("varnock_nvme_info{firmware=~\"QDV1.*\"}", &labels));
  EXPECT_EQ("PH\xef\xbf\xbd\xef\xbf\xbd\"q\\b\nNEW 1\\x1b[2J\\x1b]0;pwn\\x07", labels["serial"]);
  EXPECT_EQ("SSDPE2KE016T7\xef\xbf\xbd(\xef\xbf\xbd" "31m", labels["model"]);
  EXPECT_EQ("QDV1\\x0d\\x1b[1A", labels["firmware"]);
  // It follows the other drive's temperature as the drive changes.
  const std::string hot = "varnock_nvme_temperature_celsius{serial=\"" + std::string(kHot) + "\"}";
  EXPECT_EQ("31", Query(hot));
  SetTemperature(kHot, 45);
  std::string seen;
  EXPECT_TRUE(Eventually([&] { return (seen = Query(hot)) == "45"; }, 60)) << seen;
  EXPECT_EQ(0, prometheus->Finish(SIGTERM, 30));
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));

  // The terminal and the trace get no control character from the drive.
  const std::string trace = home.ReadFile("trace.log");
  EXPECT_TRUE(Has(trace, "\\x1b[2J")) << "the serial is traced";
  Child table({BuiltProgram("tools/host/varnock-host"), "--home", home.Dir(), "--seconds", "0"},
              home.Path("table.out"), home.Path("table.err"));
  EXPECT_EQ(0, table.Finish(0, 60)) << home.ReadFile("table.err");
  const std::string out = home.ReadFile("table.out");
  EXPECT_TRUE(Has(out, "\\x1b[2J\\x1b]0;pwn\\x07")) << out;
  for (const std::string& text : {out, trace, home.ReadFile("serve.out")}) {
    EXPECT_EQ(std::string::npos, text.find('\x1b'));
    EXPECT_EQ(std::string::npos, text.find('\r'));
    EXPECT_EQ(std::string::npos, text.find("\nNEW 1"));
  }
}

// --- HTTP abuse ------------------------------------------------------------------------------

TEST_F(ServeTest, RangesGetThePlainAnswerAndOneAddressCannotTakeEveryConnection) {
  ASSERT_NO_FATAL_FAILURE(StartServing());
  int status = 0;
  Get("/metrics", &status);
  ASSERT_EQ(200, status);

  // Ranges: a list of overlapping ranges gets the plain answer, never more.
  std::string ranges = "bytes=0-";
  for (int i = 0; i < 200; ++i) ranges += ",0-";
  for (const std::string& range : {ranges, std::string("bytes=5-10")}) {
    const HttpAnswer result = HttpGet(port, "/", "Range: " + range + "\r\n");
    EXPECT_EQ(200, result.status) << range.substr(0, 20);
    EXPECT_EQ(Get("/").size(), result.body.size());
  }

  // One address opens more connections than its share (48): the rest are refused and counted,
  // and a scrape from another address is answered.
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(std::make_unique<RawConnection>(port, "127.0.0.2"));
    slow.back()->Send("GET /metrics HTTP/1.1\r\n");
  }
  std::string metrics;
  EXPECT_TRUE(Eventually([&] {
    metrics = Get("/metrics", &status);
    const std::string refused = Sample(metrics, "varnock_http_connections_refused_total");
    return status == 200 && !refused.empty() && refused != "0";
  }, 30)) << metrics;
  slow.clear();
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

// --- HTTP abuse: attackers against the real shell ------------------------------------------

// One of the process's memory figures in KiB ("VmRSS", "VmHWM"), or -1.
long MemoryKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

class HttpAbuseTest : public ServeTest {
 protected:
  void SetUp() override {
    ServeTest::SetUp();
    // Thousands of connections: as many descriptors as this process may have.
    rlimit files = {};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Connections from 127.0.0.2 on, `perAddress` from each of `addresses`; each sends `start`.
  std::vector<std::unique_ptr<RawConnection>> Attack(int addresses, int perAddress,
                                                     const std::string& start) {
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int a = 0; a < addresses; ++a) {
      const std::string from = "127.0." + std::to_string((a + 2) / 256) + "." +
                               std::to_string((a + 2) % 256);
      for (int i = 0; i < perAddress; ++i) {
        connections.push_back(std::make_unique<RawConnection>(port, from.c_str(), 2));
        if (!start.empty()) connections.back()->Send(start);
      }
    }
    return connections;
  }

  // Sends one byte on each connection without waiting (a full or closed one is skipped).
  static void Dribble(std::vector<std::unique_ptr<RawConnection>>& connections) {
    for (auto& connection : connections) send(connection->Fd(), "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  }

  // A scrape from 127.0.0.1 answered 200 within a second (more under a sanitizer); its time in
  // ms goes to `slowest`.
  void ExpectScrapeWithinASecond(long& slowest) {
    const auto begin = std::chrono::steady_clock::now();
    const HttpAnswer answer = HttpGet(port, "/metrics", "", kSanitizerSlowdown);
    const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begin).count();
    slowest = std::max(slowest, ms);
    EXPECT_EQ(200, answer.status);
    EXPECT_LT(ms, 1000 * kSanitizerSlowdown);
  }

  // The shell's peak memory stays under 64 MB and, once the attackers are gone, its resident
  // memory returns within 10 % of `before`.
  void ExpectMemoryBounded(long before, std::vector<std::unique_ptr<RawConnection>>& attackers,
                           const char* attack) {
    if (!kMemoryBoundsHold) return attackers.clear();
    const long peak = MemoryKiB(shell->Pid(), "VmHWM");
    RecordProperty(std::string(attack) + "_peak_kib", static_cast<int>(peak));
    EXPECT_LT(peak, 64 * 1024) << attack;
    attackers.clear();
    long now = 0;
    EXPECT_TRUE(Eventually([&] {
      now = MemoryKiB(shell->Pid(), "VmRSS");
      return now <= before + before / 10;
    }, 20)) << attack << ": " << before << " KiB before, " << now << " KiB after";
    std::printf("%s: peak %ld KiB, resident %ld KiB before, %ld KiB after\n", attack, peak, before, now);
  }

  const host_shell::HttpLimits defaults;
};

TEST_F(HttpAbuseTest, SlowAndSilentFloodsFromManyAddressesNeverDelayAScrape) {
  ASSERT_NO_FATAL_FAILURE(StartServing());
  Get("/metrics");
  // The event loop keeps a small record of every descriptor it has served for reuse, which
  // holds on to part of the first flood's memory: the second flood is measured against the
  // resident memory the first one left.
  long before = 0;
  for (int flood = 0; flood < 2; ++flood) {
    // 2,400 connections that send a byte a second and 2,000 that send nothing, from 200
    // addresses.
    auto attackers = Attack(200, 12, "GET /metrics HTTP/1.1\r\nX-Slow: ");
    auto silent = Attack(200, 10, "");
    for (auto& connection : silent) attackers.push_back(std::move(connection));
    long slowest = 0;
    for (int scrape = 0; scrape < 20; ++scrape) {
      if (scrape % 4 == 0) Dribble(attackers);
      ExpectScrapeWithinASecond(slowest);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::printf("flood %d: slowest of 20 scrapes %ld ms\n", flood, slowest);
    RecordProperty("slowest_scrape_ms_" + std::to_string(flood), static_cast<int>(slowest));
    if (flood == 1) {
      ExpectMemoryBounded(before, attackers, "second flood");
      break;
    }
    attackers.clear();
    // Settled once the shell has closed them all (its resident memory stops changing).
    long last = -1;
    Eventually([&] {
      const long now = MemoryKiB(shell->Pid(), "VmRSS");
      const bool settled = now == last;
      last = now;
      return settled;
    }, 10);
    before = last;
  }
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(HttpAbuseTest, EndlessHeadsAreRefusedAsSoonAsALimitIsPassed) {
  ASSERT_NO_FATAL_FAILURE(StartServing());
  Get("/metrics");
  const long before = MemoryKiB(shell->Pid(), "VmRSS");
  struct Case {
    const char* name;
    std::string head;  // sent once, then nothing more until the answer
    std::string more;  // then sent on and on until the shell closes
    const char* status;
  };
  const std::string line = "GET /metrics HTTP/1.1\r\n";
  std::string fields;
  for (size_t i = 0; i <= defaults.headerFields; ++i) fields += "X-A: b\r\n";
  const Case cases[] = {
      {"request line", "GET /" + std::string(defaults.requestLine, 'a'), std::string(65536, 'a'),
       "HTTP/1.1 414 "},
      {"header block", line + "X-A: " + std::string(defaults.headerBlock, 'b'),
       std::string(65536, 'b'), "HTTP/1.1 431 "},
      {"header fields", line + fields, "", "HTTP/1.1 431 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection attacker(port, "127.0.0.2", 10);
    ASSERT_TRUE(attacker.Send(c.head));
    EXPECT_EQ(0u, attacker.Answer().find(c.status));
    // Whatever comes on is read and dropped until the shell closes the connection.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!c.more.empty() && attacker.Send(c.more) && std::chrono::steady_clock::now() < end) {
    }
    std::vector<std::unique_ptr<RawConnection>> gone;
    ExpectMemoryBounded(before, gone, c.name);
    EXPECT_EQ(200, HttpGet(port, "/metrics").status);
  }
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(HttpAbuseTest, IdleAndSlowConnectionsAreClosedAndTheOldestIdleGoesFirst) {
  limits = "idle=0.5,request=1,connections=4";
  ASSERT_NO_FATAL_FAILURE(StartServing());
  // Nothing sent: closed once idle; a request begun and never ended: closed at its deadline.
  RawConnection silent(port), unfinished(port);
  ASSERT_TRUE(unfinished.Send("GET /metrics HTTP/1.1\r\n"));
  EXPECT_EQ("", silent.Answer());
  EXPECT_EQ("", unfinished.Answer());
  std::string rest;
  EXPECT_FALSE(silent.Receive(rest));

  // The budget of 3 spent by two idle connections and a kept-alive one: the next connection
  // closes the oldest idle one. (A connection with half a request sent is not used here: when
  // the server has read its bytes is not for the client to know.)
  limits = "idle=30,request=30,connections=3";
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
  ASSERT_NO_FATAL_FAILURE(StartServing());
  RawConnection oldest(port), younger(port), kept(port);
  std::string pending;
  ASSERT_TRUE(kept.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(200, ReadAnswer(kept, pending).status);
  RawConnection newest(port);
  EXPECT_EQ("", oldest.Answer());
  for (RawConnection* open : {&younger, &kept, &newest}) {
    pending.clear();
    ASSERT_TRUE(open->Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(200, ReadAnswer(*open, pending).status);
  }
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(HttpAbuseTest, PipelinedAndAbsoluteFormRequestsAreAnsweredInOrder) {
  ASSERT_NO_FATAL_FAILURE(StartServing());
  RawConnection connection(port, "127.0.0.1", 5);
  ASSERT_TRUE(connection.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
                              "GET http://127.0.0.1:" + std::to_string(port) +
                              "/api/topology HTTP/1.1\r\nHost: x\r\n\r\n"));
  std::string pending;
  const HttpAnswer first = ReadAnswer(connection, pending);
  const HttpAnswer second = ReadAnswer(connection, pending);
  EXPECT_EQ(200, first.status);
  EXPECT_TRUE(Has(first.body, "varnock_up 1\n"));
  EXPECT_EQ(200, second.status);
  EXPECT_TRUE(Has(second.body, "\"topology\"")) << second.body.substr(0, 100);
  // Kept alive: the connection serves another request.
  ASSERT_TRUE(connection.Send("GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(200, ReadAnswer(connection, pending).status);
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

TEST_F(HttpAbuseTest, ServesUnderSlowClientsWithAnAddressSpaceOf400MB) {
  // AddressSanitizer reserves terabytes of address space for its shadow before main.
  if (!kMemoryBoundsHold) GTEST_SKIP() << "no address-space limit under AddressSanitizer";
  addressSpace = 400u << 20;
  ASSERT_NO_FATAL_FAILURE(StartServing());
  auto attackers = Attack(5, 48, "GET /metrics HTTP/1.1\r\nX-Slow: ");
  long slowest = 0;
  for (int scrape = 0; scrape < 5; ++scrape) {
    Dribble(attackers);
    ExpectScrapeWithinASecond(slowest);
  }
  attackers.clear();
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

// --- tool faults -----------------------------------------------------------------------------

TEST_F(ServeTest, ServesTheReasonWhileThePluginCannotStartAndRecovers) {
  struct Case {
    const char* name;
    std::string tool;  // the script installed as the tool; empty: none, "-x": not executable
    std::string reason;
    const char* toolTimeout = "60";  // seconds; reached only by the tool that hangs
  };
  const std::string tool = home.ToolPath();
  const Case cases[] = {
      {"missing", "", "tool " + tool + ": not found"},
      {"not executable", "-x", "tool " + tool + ": not executable"},
      {"hanging", "#!/bin/sh\nexec /bin/sleep 30\n", "tool " + tool + ": timed out after 1 s", "1"},
      {"garbage", "#!/bin/sh\necho '{\"a\": 1}x'\n", "tool " + tool + ": not JSON at byte 8"},
      // 50 MB on standard error: the reason ends with its last line, and none of it is relayed.
      {"failing",
       "#!/bin/sh\necho '{}'\nhead -c 50000000 /dev/zero | tr '\\000' e >&2\n"
       "printf '\\nno such drive\\n\\n' >&2\nexit 3\n",
       "tool " + tool + ": exit status 3 (its JSON output was read); standard error: no such drive\"}"},
      // The cap is passed at once: yes writes its output as fast as it is read.
      {"too large", "#!/bin/sh\nexec /usr/bin/yes\n", "tool " + tool + ": output too large"},
      {"no drive", "#!/bin/sh\necho '{}'\n", "Initialize failed: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(tool);
    if (c.tool == "-x") {
      home.WriteFile("bin/isdct.exe", "#!/bin/sh\n");
    } else if (!c.tool.empty()) {
      home.InstallScriptTool(c.tool);
    }
    ASSERT_NO_FATAL_FAILURE(StartServing({"--tool-timeout", c.toolTimeout}));
    const std::string metrics = Get("/metrics");
    EXPECT_TRUE(Has(metrics, "\nvarnock_up 0\n")) << metrics;
    EXPECT_TRUE(Has(metrics, "\nvarnock_last_error{reason=\"Initialize failed: ")) << metrics;
    EXPECT_TRUE(Has(metrics, c.reason)) << metrics;
    EXPECT_TRUE(Has(Get("/api/topology"), "\"error\":\"Initialize failed: "));
    const std::string errors = home.ReadFile("serve.err");
    EXPECT_LT(errors.size(), 64u * 1024);
    EXPECT_TRUE(Has(errors, c.reason.substr(0, c.reason.find("\"}")))) << errors;
    if (c.tool.empty()) {
      // Retried with backoff: the tool that appears is used, and the reason goes.
      home.InstallTool();
      EXPECT_TRUE(Eventually([&] { return Has(Get("/metrics"), "\nvarnock_up 1\n"); }, 60));
      EXPECT_FALSE(Has(Get("/metrics"), "varnock_last_error{"));
      EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
    } else {
      EXPECT_EQ(1, shell->Finish(SIGTERM, 60));
    }
  }
}

// --- hostile tool output ---------------------------------------------------------------------

// Each drive's read gauge follows the plug-in's rule for taking a page, where the exit status
// and the text "No device selected" would have said otherwise, and a page nested a million
// levels deep is one more page: read when it is JSON, not read when it is not. The tool's
// version nested as deep does not keep the plug-in from starting. Failed runs are counted.
TEST_F(ServeTest, PerDriveReadsFollowThePluginsRuleAndSurviveDeepNesting) {
  home.WriteFile("valid.json", "{\"Temp Statistics X\": {\"Current Temperature\": 40}}\n");
  home.WriteFile("no-device.json", "{\"Error\": \"No device selected\"}\n");
  constexpr size_t kDepth = 1000000;
  home.WriteFile("deep.json", std::string(kDepth, '[') + std::string(kDepth, ']'));
  home.WriteFile("open.json", std::string(kDepth, '['));
  // `serial` empty: the fault of the whole tool.
  const auto printFile = [&](const char* serial, isdct::Run page, const char* file, int status) {
    ChangeState([&](isdct::State& state) {
      isdct::Fault& fault = *serial ? state.FindBySerial(serial)->fault : state.fault;
      fault.kind = isdct::FaultKind::kFile;
      fault.page = page;
      fault.path = home.Path(file);
      fault.status = status;
    });
  };
  const auto read = [&](const std::string& metrics, const char* serial) {
    return Sample(metrics, "varnock_nvme_health_read_ok{serial=\"" + std::string(serial) + "\"");
  };
  const std::string failedRuns = "varnock_tool_runs_total{result=\"failed\"}";
  printFile("", isdct::Run::kVersion, "deep.json", 0);
  ASSERT_NO_FATAL_FAILURE(StartServing());
  std::string metrics = Get("/metrics");
  EXPECT_EQ("1", Sample(metrics, "varnock_nvme_health_read_ok{serial=\"" + std::string(kPlain) +
                                     "\",model=\"SSDPE2KE016T7\",pci=\"0000:03:00.0\",device=\"nvme0n1\"}"))
      << metrics;
  EXPECT_EQ("0", Sample(metrics, failedRuns));
  printFile(kPlain, isdct::Run::kTemperature, "valid.json", 4);  // taken: 1
  printFile(kHot, isdct::Run::kSmartHealth, "no-device.json", 0);  // rejected: 0
  // Two failed runs of the plain drive's page: the first one's reading is in.
  EXPECT_TRUE(Eventually([&] {
    metrics = Get("/metrics");
    return read(metrics, kHot) == "0" && std::atoi(Sample(metrics, failedRuns).c_str()) >= 2;
  }, 60)) << metrics;
  EXPECT_EQ("1", read(metrics, kPlain)) << metrics;

  printFile(kPlain, isdct::Run::kDriveInfo, "open.json", 0);     // not JSON: 0
  printFile(kHot, isdct::Run::kSmartAttributes, "deep.json", 0);  // JSON: 1
  EXPECT_TRUE(Eventually([&] {
    metrics = Get("/metrics");
    return read(metrics, kPlain) == "0" && read(metrics, kHot) == "1";
  }, 60)) << metrics;
  EXPECT_TRUE(Has(metrics, "\nvarnock_up 1\n"));
  EXPECT_NE("0", Sample(metrics, "varnock_tool_runs_total{result=\"ok\"}"));
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
}

// --- database faults -------------------------------------------------------------------------

TEST_F(ServeTest, DatabaseFaultsAreCountedAndToldOncePerKind) {
  struct Case {
    const char* name;
    std::function<void()> before;  // before the shell starts
    std::function<void()> during;  // while it serves
    const char* kind;
  };
  const Case cases[] = {
      {"a directory", [&] { std::filesystem::create_directories(home.Path("host.db")); }, [] {},
       "cannot_open"},
      {"corrupt", [&] { home.WriteFile("host.db", std::string(8192, 'x')); }, [] {}, "corrupt"},
      {"deleted while running", [] {}, [&] { std::filesystem::remove(home.Path("host.db")); },
       "replaced"},
      // Writes past the shell's file size limit (16 KiB) fail instead of ending it.
      {"file size limit",
       [&] { launcher = {"/bin/sh", "-c", "ulimit -f 16 && exec \"$0\" \"$@\""}; }, [] {},
       "file_too_large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home.Path("host.db"));
    c.before();
    ASSERT_NO_FATAL_FAILURE(StartServing());
    c.during();
    const std::string counter = "varnock_database_errors_total{kind=\"" + std::string(c.kind) + "\"}";
    std::string metrics;
    EXPECT_TRUE(Eventually([&] {
      metrics = Get("/metrics");
      const std::string count = Sample(metrics, counter);
      return !count.empty() && count != "0";
    }, 60)) << metrics;
    EXPECT_TRUE(Has(metrics, "\nvarnock_up 1\n"));
    EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
    const std::string err = home.ReadFile("serve.err");
    const std::string told = "database error (" + std::string(c.kind) + ", reported once)";
    EXPECT_TRUE(Has(err, told)) << err;
    EXPECT_EQ(err.find(told), err.rfind(told)) << err;
  }
}

// --- signals ---------------------------------------------------------------------------------

TEST_F(ServeTest, HangUpIsIgnoredAndASecondStopEndsAtOnceWithoutLeavingTheTool) {
  ASSERT_NO_FATAL_FAILURE(StartServing());
  ASSERT_EQ(0, kill(shell->Pid(), SIGHUP));
  int status = 0;
  EXPECT_TRUE(Has(Get("/metrics", &status), "\nvarnock_up 1\n"));
  EXPECT_TRUE(shell->Running());
  EXPECT_EQ(0, shell->Finish(SIGTERM, 60));
  EXPECT_TRUE(Has(home.ReadFile("serve.err"), "SIGHUP ignored"));

  // A tool that hangs in Initialize and leaves a helper in a session of its own: the first
  // stop waits for the tool's time limit, the second ends the shell, the tool and the helper.
  home.InstallScriptTool("#!/bin/sh\necho $$ > " + home.Path("tool.pid") +
                         "\n/usr/bin/setsid /bin/sh -c 'echo $$ > " + home.Path("helper.pid") +
                         "; exec /bin/sleep 60' &\nexec /bin/sleep 60\n");
  Child hung({BuiltProgram("tools/host/varnock-host"), "--home", home.Dir(), "--tool-timeout",
              "60", "serve", "--listen", "127.0.0.1:0"},
             home.Path("hung.out"), home.Path("hung.err"));
  ASSERT_TRUE(Eventually([&] {
    return !home.ReadFile("tool.pid").empty() && !home.ReadFile("helper.pid").empty();
  }, 30));
  const pid_t tool = std::stoi(home.ReadFile("tool.pid"));
  const pid_t helper = std::stoi(home.ReadFile("helper.pid"));
  ASSERT_EQ(0, kill(hung.Pid(), SIGTERM));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(hung.Running());
  EXPECT_EQ(130, hung.Finish(SIGTERM, 5));
  EXPECT_TRUE(Has(home.ReadFile("hung.err"), "interrupted twice, quitting at once"));
  EXPECT_TRUE(ProcessEnded(tool) && ProcessEnded(helper));
}

}  // namespace
