// Monitoring end to end: the worker's light and full passes against the tool stand-in on a
// controllable clock, change detection and its events as the host collects them, the topology,
// and the plug-in object's poll-interval setting.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HostDriver.h"
#include "KVLX.h"

using NAMESPACE_Varnock::PluginTestPeer;

namespace {

constexpr const char* kFirst = "PHLE812300AB1P6AGN";
constexpr const char* kSecond = "PHKS750500FQ375AGN";
constexpr const char* kInventory = "show -all -o json -vedidevu";

class MonitorTest : public ::testing::Test {
 protected:
  PluginTestPeer Impl() { return host_.Impl(); }
  uint64_t PluginId() { return Impl().m_Plugin.GetID(); }
  IPLUGINAPI* Plugin() { return host_.Plugin(); }

  void SetField(const std::string& serial, const std::string& field, const std::string& value) {
    host_.ChangeState([&](isdct::State& state) {
      std::string error;
      ASSERT_TRUE(isdct::SetField(*state.FindBySerial(serial), field, value, error)) << error;
    });
  }
  int InventoryRuns() { return host_.ToolRuns(kInventory); }

  // The worker notifies from its own thread once its pass is done.
  bool WaitNotified(int atLeast) {
    for (int i = 0; i < 1000 && host_.Notifications() < atLeast; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return host_.Notifications() >= atLeast;
  }

  TestHome home_;
  HostDriver host_{home_, "two-drives.json", 3};
};

TEST_F(MonitorTest, HeatUpRaisesWarningsAndCoolingDownClearsThem) {
  host_.Start();
  const uint64_t adapter = Impl().m_Adapters[0].GetID();
  const std::string name = Impl().m_Adapters[0].m_Name;
  const int inventories = InventoryRuns();
  const int notified = host_.Notifications();

  SetField(kFirst, "temperature", "81");
  host_.Poll();  // the light pass sees new warning bits and turns into a full pass
  EXPECT_EQ(inventories + 1, InventoryRuns());
  EXPECT_TRUE(WaitNotified(notified + 1));
  EXPECT_EQ(0x240u, Impl().m_Adapters[0].m_CriticalWarnings);
  EXPECT_EQ(40150, Impl().m_Adapters[0].m_Status);
  // The changed adapter's row is rewritten (with the values the adapter had known).
  EXPECT_EQ(name, home_.QueryDb(std::string("SELECT Name FROM Adapter WHERE SerialNumber = '") +
                                kFirst + "'").at(0).at(0));

  // Raised in bit order (64, then 512) and handed over last first.
  const std::vector<PI::CEvent> events = host_.CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{10962, 10959}), HostDriver::Codes(events));
  EXPECT_EQ(adapter, events[0].m_ObjectID);
  EXPECT_EQ(3u, events[0].m_Severity);
  EXPECT_EQ(4u, events[1].m_Severity);
  EXPECT_EQ(Impl().m_Adapters[0].m_Name, events[1].m_Source);
  EXPECT_EQ(events[1].m_Source, events[1].m_PlaceHolder1);
  EXPECT_TRUE(host_.CollectEvents().empty());

  SetField(kFirst, "temperature", "40");
  host_.Poll();
  EXPECT_EQ((std::vector<uint32_t>{10980}), HostDriver::Codes(host_.CollectEvents()));
  EXPECT_EQ(0u, Impl().m_Adapters[0].m_CriticalWarnings);
}

TEST_F(MonitorTest, CriticalWarningsFromNoneToSeventeen) {
  host_.Start();
  SetField(kSecond, "criticalWarnings", "17");
  host_.Poll();
  const std::vector<PI::CEvent> events = host_.CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{10968, 10957}), HostDriver::Codes(events));
  EXPECT_EQ(Impl().m_Adapters[1].GetID(), events[0].m_ObjectID);

  SetField(kSecond, "criticalWarnings", "0");
  host_.Poll();
  EXPECT_EQ((std::vector<uint32_t>{10980}), HostDriver::Codes(host_.CollectEvents()));
}

TEST_F(MonitorTest, RemovedDriveVanishesAndComesBackWithNewRows) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=0\n");  // every time-out rescans
  host_.Start();
  ASSERT_EQ(2, home_.CountRows("Adapter"));
  const isdct::Drive removed = *host_.State().FindBySerial(kSecond);
  const std::string name = Impl().m_Adapters[1].m_Name;

  host_.ChangeState([](isdct::State& state) { state.drives.pop_back(); });
  host_.Poll();
  std::vector<PI::CEvent> events = host_.CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{11094}), HostDriver::Codes(events));
  EXPECT_EQ(19002u, events[0].m_ObjectID);
  EXPECT_EQ(3u, events[0].m_Severity);
  EXPECT_EQ(name, events[0].m_Source);
  EXPECT_EQ(" ", events[0].m_PlaceHolder2);
  EXPECT_EQ(1u, Impl().m_Adapters.size());
  EXPECT_EQ(1, home_.CountRows("Adapter"));
  EXPECT_EQ(2, home_.CountRows("PD"));  // drive rows are never deleted

  host_.ChangeState([&](isdct::State& state) { state.drives.push_back(removed); });
  host_.Poll();
  events = host_.CollectEvents();
  ASSERT_EQ((std::vector<uint32_t>{11093}), HostDriver::Codes(events));
  EXPECT_EQ(2u, events[0].m_Severity);
  EXPECT_EQ(2, home_.CountRows("Adapter"));
  EXPECT_EQ(3, home_.CountRows("PD"));
}

TEST_F(MonitorTest, TimeOutRescansOnlyWhenStrictlyPastTheRefreshRate) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=30000\n");
  home_.WriteFile("Varnock.ini", "PollInterval=30\n");
  host_.Start();
  const int inventories = InventoryRuns();
  const int healthRuns = host_.ToolRuns("show -o json -vedidevu 1 -nvmelog SmartHealthInfo");
  host_.Poll();  // exactly 30000 ms after the last full pass: a light pass
  EXPECT_EQ(inventories, InventoryRuns());
  EXPECT_EQ(healthRuns + 1, host_.ToolRuns("show -o json -vedidevu 1 -nvmelog SmartHealthInfo"));
  host_.Clock().Advance(30000);  // 62000 ms after it: a full pass, with no pauses
  ASSERT_TRUE(host_.Clock().WaitForSleepers(1));
  EXPECT_EQ(inventories + 1, InventoryRuns());
}

TEST_F(MonitorTest, ShorterRefreshRateRescansAtTheFirstTimeOut) {
  home_.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=29999\n");
  host_.Start();
  const int inventories = InventoryRuns();
  host_.Clock().Advance(30000);
  ASSERT_TRUE(host_.Clock().WaitForSleepers(1));
  EXPECT_EQ(inventories + 1, InventoryRuns());
}

TEST_F(MonitorTest, SettingThePollIntervalClampsStoresAndWakesTheWorker) {
  home_.WriteFile("Varnock.ini", "# poll\nPollInterval=30\nOther=1\n");
  host_.Start();
  const uint64_t changes = Impl().m_Plugin.GetChangeCount();
  const int notified = host_.Notifications();

  PI::CProperty property(PI::PROP_POLL_INTERVAL, true);
  property.SetValue(1, 2, 255, 1);
  EXPECT_EQ(0u, Plugin()->Request(REQ_SET_PROPERTY, PluginId(), &property));
  EXPECT_EQ(2u, Impl().m_PollInterval.load());
  EXPECT_EQ(changes + 1, Impl().m_Plugin.GetChangeCount());
  EXPECT_EQ("# poll\nPollInterval=2\nOther=1\n", home_.ReadFile("Varnock.ini"));
  EXPECT_TRUE(WaitNotified(notified + 1));

  // The new interval applies from then on.
  const int healthRuns = host_.ToolRuns("show -o json -vedidevu 0 -nvmelog SmartHealthInfo");
  ASSERT_TRUE(host_.Clock().WaitForSleepers(1));
  host_.Poll();  // two seconds later
  EXPECT_EQ(healthRuns + 1, host_.ToolRuns("show -o json -vedidevu 0 -nvmelog SmartHealthInfo"));

  property.SetValue(300, 2, 255, 1);
  EXPECT_EQ(0u, Plugin()->Request(REQ_SET_PROPERTY, PluginId(), &property));
  EXPECT_EQ(255u, Impl().m_PollInterval.load());

  PI::CProperty name(PI::PROP_NAME, false);
  EXPECT_EQ(PI::ERR_PROPERTY_NOT_SETTABLE, Plugin()->Request(REQ_SET_PROPERTY, PluginId(), &name));
  EXPECT_EQ(255u, Impl().m_PollInterval.load());
}

TEST_F(MonitorTest, TopologyOffersTheEventsOperationOnThePluginObjectAlone) {
  host_.Start();
  std::vector<PI::CObject> objects;
  ASSERT_EQ(0u, Plugin()->Request(REQ_GET_TOPOLOGY, 0, &objects));
  // The order and links of the objects are checked through the shell; here,
  // what each kind offers.
  ASSERT_EQ(5u, objects.size());
  ASSERT_EQ(1u, objects[0].m_Operations.size());
  EXPECT_EQ(PI::OP_GET_EVENTS, objects[0].m_Operations[0].GetID());
  EXPECT_TRUE(objects[1].m_Operations.empty());
  // The tool's version is known, so the plug-in object shows all six properties.
  EXPECT_EQ(6u, objects[0].m_Properties.size());
}

TEST_F(MonitorTest, WithoutAdaptersTheTopologyIsThePluginObjectAlone) {
  host_.ChangeState([](isdct::State& state) { state.drives.clear(); });
  host_.Create();
  EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, host_.Initialize());
  std::vector<PI::CObject> objects;
  ASSERT_EQ(0u, Plugin()->Request(REQ_GET_TOPOLOGY, 0, &objects));
  ASSERT_EQ(1u, objects.size());
  EXPECT_EQ(5u, objects[0].m_Properties.size());  // no tool version
  ASSERT_EQ(1u, objects[0].m_Operations.size());
  EXPECT_EQ(PI::OP_GET_EVENTS, objects[0].m_Operations[0].GetID());
}

TEST_F(MonitorTest, RepeatedSetAdapterIDsKeepsOneWorker) {
  host_.Start();
  KVL::Threading::CThread* worker = Impl().m_WorkerThread.get();
  std::vector<PI::CAdapterID> ids;
  ASSERT_EQ(0u, Plugin()->Request(REQ_SET_ADAPTER_IDS, 0, &ids));
  EXPECT_EQ(worker, Impl().m_WorkerThread.get());
  EXPECT_EQ(KVL::WAIT_TIMEOUT, worker->Wait(0));
}

}  // namespace
