// Monitoring end to end: the worker's light and full passes against the tool stand-in on a
// controllable clock, change detection and its events as the host collects them, the topology,
// and the plug-in object's poll-interval setting.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "DriveState.h"
#include "KVL.h"
#include "KVLX.h"
#include "TestHome.h"
#include "PluginTestPeer.h"

using NAMESPACE_Varnock::PluginTestPeer;

namespace {

constexpr const char* kFirst = "PHLE812300AB1P6AGN";
constexpr const char* kSecond = "PHKS750500FQ375AGN";

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<KVL::Misc::ManualClock>();
    KVL::Misc::SetClock(clock_);
    KVLX::CSystem::SetTimeLimit(20000);
    home_.AddPciDevice("0000:03:00.0", "0x8086", "0x0a54");
    home_.AddPciDevice("0000:04:00.0", "0x8086", "0x0a54");
    home_.AddPciDevice("0000:05:00.0", "0x8086", "0x0a54");
    home_.UseFixture("two-drives.json");
    // The stand-in behind a wrapper that logs every argument line.
    std::filesystem::copy_file(BuiltProgram("tools/isdct/isdct.exe"), home_.Path("bin/real-isdct"));
    home_.InstallScriptTool("#!/bin/sh\necho \"$*\" >> " + home_.Path("tool-runs") + "\n" +
                            "ISDCT_STATE=" + home_.Path("bin/drives.json") + " exec " +
                            home_.Path("bin/real-isdct") + " \"$@\"\n");
  }

  void TearDown() override {
    if (plugin_ != nullptr) {
      Stop();
      releaseIf(&plugin_);
    }
    KVL::Misc::SetClock(KVL::Misc::MakeRealClock());
  }

  PluginTestPeer Impl() { return PluginTestPeer(plugin_); }
  uint64_t PluginId() { return Impl().m_Plugin.GetID(); }

  // Host side of the notification: counts calls and, like a real host, reads the topology from
  // inside the callback.
  static void OnNotify(uint64_t context, IPLUGINAPI* plugin) {
    auto* self = reinterpret_cast<MonitorTest*>(context);
    std::vector<PI::CObject> objects;
    plugin->Request(REQ_GET_TOPOLOGY, 0, &objects);
    std::lock_guard<std::mutex> lock(self->notifyMutex_);
    ++self->notified_;
    self->notifyChanged_.notify_all();
  }

  // createIf, Initialize, callback, SetAdapterIDs numbering the adapters 0, 1, 2 ..., and the
  // first wake-up of the worker (a full pass).
  void Start() {
    ASSERT_EQ(0u, createIf(&plugin_));
    plugin_->m_CallbackContext = reinterpret_cast<uint64_t>(this);
    plugin_->m_Callback = &MonitorTest::OnNotify;
    std::vector<PI::CAdapterID> ids;
    ASSERT_EQ(0u, plugin_->Request(REQ_INITIALIZE, 0, &ids));
    for (size_t i = 0; i < ids.size(); ++i) ids[i].SetAdapterNumber(static_cast<int32_t>(i));
    ASSERT_EQ(0u, plugin_->Request(REQ_SET_ADAPTER_IDS, 0, &ids));
    ASSERT_TRUE(clock_->WaitForSleepers(1));
    clock_->Advance(100);
    ASSERT_TRUE(clock_->WaitForSleepers(1));
    CollectEvents();
  }

  void Stop() {
    auto done = std::async(std::launch::async,
                           [this] { return plugin_->Request(REQ_DEINITIALIZE, 0, nullptr); });
    while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
      if (clock_->WaitForSleepers(1, 100)) clock_->Advance(500);
    EXPECT_EQ(0u, done.get());
  }

  // One time-out of the worker: its light pass pauses a second after each drive's health query
  // (time moves on each pause); a full pass, if the light pass turns into one, pauses nowhere.
  void Poll() {
    const size_t records = Impl().m_AdapterInfos.size();
    clock_->Advance(Impl().m_PollInterval * 1000ULL);
    for (size_t i = 0; i < records; ++i) {
      ASSERT_TRUE(clock_->WaitForSleepers(1));
      clock_->Advance(1000);
    }
    ASSERT_TRUE(clock_->WaitForSleepers(1));
  }

  void ChangeState(const std::function<void(isdct::State&)>& change) {
    isdct::State state;
    std::string error;
    ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
    change(state);
    ASSERT_TRUE(isdct::SaveState(home_.Path("bin/drives.json"), state, error)) << error;
  }
  void SetField(const std::string& serial, const std::string& field, const std::string& value) {
    ChangeState([&](isdct::State& state) {
      std::string error;
      ASSERT_TRUE(isdct::SetField(*state.FindBySerial(serial), field, value, error)) << error;
    });
  }

  std::vector<PI::CEvent> CollectEvents() {
    PI::COperation operation;
    operation.m_ID = PI::OP_GET_EVENTS;
    EXPECT_EQ(0u, plugin_->Request(REQ_EXECUTE_OPERATION, PluginId(), &operation));
    return operation.GetEvents();
  }
  static std::vector<uint32_t> Codes(const std::vector<PI::CEvent>& events) {
    std::vector<uint32_t> codes;
    for (const PI::CEvent& event : events) codes.push_back(event.m_Code);
    return codes;
  }

  int ToolRuns(const std::string& arguments) {
    std::istringstream lines(home_.ReadFile("tool-runs"));
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line == arguments;
    return count;
  }
  int InventoryRuns() { return ToolRuns("show -all -o json -vedidevu"); }

  bool WaitNotified(int atLeast) {
    std::unique_lock<std::mutex> lock(notifyMutex_);
    return notifyChanged_.wait_for(lock, std::chrono::seconds(10),
                                   [&] { return notified_ >= atLeast; });
  }

  const PI::CObject* AdapterBySerial(const std::vector<PI::CObject>& objects,
                                     const std::string& serial) {
    for (const PI::CObject& object : objects)
      for (const PI::CProperty& property : object.m_Properties)
        if (object.m_Type == PI::TYPE_ADAPTER && property.m_ID == PI::PROP_SERIAL_NUMBER &&
            property.m_Text == serial)
          return &object;
    return nullptr;
  }

  TestHome home_;
  std::shared_ptr<KVL::Misc::ManualClock> clock_;
  IPLUGINAPI* plugin_ = nullptr;
  std::mutex notifyMutex_;
  std::condition_variable notifyChanged_;
  int notified_ = 0;
};

TEST_F(MonitorTest, HeatUpRaisesWarningsAndCoolingDownClearsThem) {
  Start();
  const uint64_t adapter = Impl().m_Adapters[0].GetID();
  const std::string name = Impl().m_Adapters[0].m_Name;
  const int inventories = InventoryRuns();
  const int notified = notified_;

  SetField(kFirst, "temperature", "81");
  Poll();  // the light pass sees new warning bits and turns into a full pass
  EXPECT_EQ(inventories + 1, InventoryRuns());
  EXPECT_TRUE(WaitNotified(notified + 1));
  EXPECT_EQ(0x240u, Impl().m_Adapters[0].m_CriticalWarnings);
  EXPECT_EQ(40150, Impl().m_Adapters[0].m_Status);
  // The changed adapter's row is rewritten (with the values the adapter had known).
  EXPECT_EQ(name, home_.QueryDb(std::string("SELECT Name FROM Adapter WHERE SerialNumber = '") +
                                kFirst + "'").at(0).at(0));

  // Raised in bit order (64, then 512) and handed over last first.
  const std::vector<PI::CEvent> events = CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{10962, 10959}), Codes(events));
  EXPECT_EQ(adapter, events[0].m_ObjectID);
  EXPECT_EQ(3u, events[0].m_Severity);
  EXPECT_EQ(4u, events[1].m_Severity);
  EXPECT_EQ(Impl().m_Adapters[0].m_Name, events[1].m_Source);
  EXPECT_EQ(events[1].m_Source, events[1].m_PlaceHolder1);
  EXPECT_TRUE(CollectEvents().empty());

  SetField(kFirst, "temperature", "40");
  Poll();
  EXPECT_EQ((std::vector<uint32_t>{10980}), Codes(CollectEvents()));
  EXPECT_EQ(0u, Impl().m_Adapters[0].m_CriticalWarnings);
}

TEST_F(MonitorTest, CriticalWarningsFromNoneToSeventeen) {
  Start();
  SetField(kSecond, "criticalWarnings", "17");
  Poll();
  const std::vector<PI::CEvent> events = CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{10968, 10957}), Codes(events));
  EXPECT_EQ(Impl().m_Adapters[1].GetID(), events[0].m_ObjectID);

  SetField(kSecond, "criticalWarnings", "0");
  Poll();
  EXPECT_EQ((std::vector<uint32_t>{10980}), Codes(CollectEvents()));
}

TEST_F(MonitorTest, RemovedDriveVanishesAndComesBackWithNewRows) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=0\n");  // every time-out rescans
  Start();
  ASSERT_EQ(2, home_.CountRows("Adapter"));
  isdct::State state;
  std::string error;
  ASSERT_TRUE(isdct::LoadState(home_.Path("bin/drives.json"), state, error)) << error;
  const isdct::Drive removed = *state.FindBySerial(kSecond);
  const std::string name = Impl().m_Adapters[1].m_Name;

  ChangeState([](isdct::State& state) { state.drives.pop_back(); });
  Poll();
  std::vector<PI::CEvent> events = CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{11094}), Codes(events));
  EXPECT_EQ(19002u, events[0].m_ObjectID);
  EXPECT_EQ(3u, events[0].m_Severity);
  EXPECT_EQ(name, events[0].m_Source);
  EXPECT_EQ(" ", events[0].m_PlaceHolder2);
  EXPECT_EQ(1u, Impl().m_Adapters.size());
  EXPECT_EQ(1, home_.CountRows("Adapter"));
  EXPECT_EQ(2, home_.CountRows("PD"));  // drive rows are never deleted

  ChangeState([&](isdct::State& state) { state.drives.push_back(removed); });
  Poll();
  events = CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{11093}), Codes(events));
  EXPECT_EQ(2u, events[0].m_Severity);
  EXPECT_EQ(2, home_.CountRows("Adapter"));
  EXPECT_EQ(3, home_.CountRows("PD"));
}

TEST_F(MonitorTest, FailingInventoryEmptiesThePictureAndPollingGoesOn) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=0\n");
  Start();
  ChangeState([](isdct::State& state) {
    state.fault.kind = isdct::FaultKind::kExit;
    state.fault.page = isdct::Run::kInventory;
  });
  Poll();
  EXPECT_EQ((std::vector<uint32_t>{11094, 11094}), Codes(CollectEvents()));
  EXPECT_TRUE(Impl().m_Adapters.empty());

  ChangeState([](isdct::State& state) { state.fault = isdct::Fault(); });
  Poll();
  EXPECT_EQ((std::vector<uint32_t>{11093, 11093}), Codes(CollectEvents()));
}

TEST_F(MonitorTest, FailingHealthQueryKeepsTheLastValues) {
  Start();
  const float before = Impl().m_Adapters[0].m_Temperature;
  ChangeState([](isdct::State& state) {
    state.drives[0].temperature = 60;
    state.drives[0].fault.kind = isdct::FaultKind::kHang;
    state.drives[0].fault.page = isdct::Run::kTemperature;
  });
  KVLX::CSystem::SetTimeLimit(200);
  Poll();
  EXPECT_EQ(before, Impl().m_Adapters[0].m_Temperature);
  EXPECT_TRUE(CollectEvents().empty());
}

TEST_F(MonitorTest, TimeOutRescansOnlyWhenStrictlyPastTheRefreshRate) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=30000\n");
  home_.WriteFile("Varnock.ini", "PollInterval=30\n");
  Start();
  const int inventories = InventoryRuns();
  const int healthRuns = ToolRuns("show -o json -vedidevu 1 -nvmelog SmartHealthInfo");
  Poll();  // exactly 30000 ms after the last full pass: a light pass
  EXPECT_EQ(inventories, InventoryRuns());
  EXPECT_EQ(healthRuns + 1, ToolRuns("show -o json -vedidevu 1 -nvmelog SmartHealthInfo"));
  clock_->Advance(30000);  // 62000 ms after it: a full pass, with no pauses
  ASSERT_TRUE(clock_->WaitForSleepers(1));
  EXPECT_EQ(inventories + 1, InventoryRuns());
}

TEST_F(MonitorTest, ShorterRefreshRateRescansAtTheFirstTimeOut) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=29999\n");
  Start();
  const int inventories = InventoryRuns();
  clock_->Advance(30000);
  ASSERT_TRUE(clock_->WaitForSleepers(1));
  EXPECT_EQ(inventories + 1, InventoryRuns());
}

TEST_F(MonitorTest, SettingThePollIntervalClampsStoresAndWakesTheWorker) {
  home_.WriteFile("Varnock.ini", "# poll\nPollInterval=30\nOther=1\n");
  Start();
  const uint64_t changes = Impl().m_Plugin.GetChangeCount();
  const int notified = notified_;

  PI::CProperty property(PI::PROP_POLL_INTERVAL, true);
  property.SetValue(1, 2, 255, 1);
  EXPECT_EQ(0u, plugin_->Request(REQ_SET_PROPERTY, PluginId(), &property));
  EXPECT_EQ(2u, Impl().m_PollInterval.load());
  EXPECT_EQ(changes + 1, Impl().m_Plugin.GetChangeCount());
  EXPECT_EQ("# poll\nPollInterval=2\nOther=1\n", home_.ReadFile("Varnock.ini"));
  EXPECT_TRUE(WaitNotified(notified + 1));

  // The new interval applies from then on.
  const int healthRuns = ToolRuns("show -o json -vedidevu 0 -nvmelog SmartHealthInfo");
  ASSERT_TRUE(clock_->WaitForSleepers(1));
  Poll();  // two seconds later
  EXPECT_EQ(healthRuns + 1, ToolRuns("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"));

  property.SetValue(300, 2, 255, 1);
  EXPECT_EQ(0u, plugin_->Request(REQ_SET_PROPERTY, PluginId(), &property));
  EXPECT_EQ(255u, Impl().m_PollInterval.load());

  PI::CProperty name(PI::PROP_NAME, false);
  EXPECT_EQ(PI::ERR_PROPERTY_NOT_SETTABLE, plugin_->Request(REQ_SET_PROPERTY, PluginId(), &name));
  EXPECT_EQ(255u, Impl().m_PollInterval.load());
}

TEST_F(MonitorTest, TopologyListsPluginThenAdaptersThenDrives) {
  Start();
  std::vector<PI::CObject> objects;
  ASSERT_EQ(0u, plugin_->Request(REQ_GET_TOPOLOGY, 0, &objects));
  ASSERT_EQ(5u, objects.size());
  const uint32_t types[] = {19006, 19038, 19038, 19018, 19018};
  for (size_t i = 0; i < objects.size(); ++i) EXPECT_EQ(types[i], objects[i].m_Type) << i;
  EXPECT_EQ((std::vector<uint64_t>{objects[1].m_ID, objects[2].m_ID}), objects[0].m_Children);
  EXPECT_EQ(std::vector<uint64_t>{objects[0].m_ID}, objects[1].m_Parents);
  EXPECT_EQ(std::vector<uint64_t>{objects[3].m_ID}, objects[1].m_Children);
  EXPECT_EQ(std::vector<uint64_t>{objects[1].m_ID}, objects[3].m_Parents);
  ASSERT_EQ(1u, objects[0].m_Operations.size());
  EXPECT_EQ(PI::OP_GET_EVENTS, objects[0].m_Operations[0].GetID());
  EXPECT_TRUE(objects[1].m_Operations.empty());
  ASSERT_NE(nullptr, AdapterBySerial(objects, kSecond));
  // The tool's version is known, so the plug-in object shows all six properties.
  EXPECT_EQ(6u, objects[0].m_Properties.size());
}

TEST_F(MonitorTest, WithoutAdaptersTheTopologyIsThePluginObjectAlone) {
  ChangeState([](isdct::State& state) { state.drives.clear(); });
  ASSERT_EQ(0u, createIf(&plugin_));
  std::vector<PI::CAdapterID> ids;
  EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, plugin_->Request(REQ_INITIALIZE, 0, &ids));
  std::vector<PI::CObject> objects;
  ASSERT_EQ(0u, plugin_->Request(REQ_GET_TOPOLOGY, 0, &objects));
  ASSERT_EQ(1u, objects.size());
  EXPECT_EQ(5u, objects[0].m_Properties.size());  // no tool version
  ASSERT_EQ(1u, objects[0].m_Operations.size());
  EXPECT_EQ(PI::OP_GET_EVENTS, objects[0].m_Operations[0].GetID());
}

TEST_F(MonitorTest, RepeatedSetAdapterIDsKeepsOneWorker) {
  Start();
  KVL::Threading::CThread* worker = Impl().m_WorkerThread.get();
  std::vector<PI::CAdapterID> ids;
  ASSERT_EQ(0u, plugin_->Request(REQ_SET_ADAPTER_IDS, 0, &ids));
  EXPECT_EQ(worker, Impl().m_WorkerThread.get());
  EXPECT_EQ(KVL::WAIT_TIMEOUT, worker->Wait(0));
}

}  // namespace
