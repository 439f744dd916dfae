// The plug-in's frame and lifecycle through its exports and the request operation: settings,
// identifiers, dispatch, Initialize and its failures, DeInitialize, and per-object routing.
#include <cstdlib>
#include <new>
#include <utility>

#include <gtest/gtest.h>

#include "KVL.h"
#include "KVLX.h"
#include "TestHome.h"
#include "PluginTestPeer.h"

using NAMESPACE_Varnock::PluginTestPeer;

namespace {
bool g_FailNothrowNew = false;
}

// Lets a test make the plug-in factory's allocation fail.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_FailNothrowNew) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

constexpr uint64_t kIdBase = 309ULL << 48;

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<KVL::Misc::ManualClock>();
    KVL::Misc::SetClock(clock_);
    KVLX::CSystem::SetTimeLimit(60000);
  }

  void TearDown() override {
    if (plugin_ != nullptr) releaseIf(&plugin_);
    KVL::Testing::FailInitAt(0);
    KVL::Misc::SetTraceMask(309, 0);
    KVL::Misc::SetClock(KVL::Misc::MakeRealClock());
  }

  PluginTestPeer Create() {
    EXPECT_EQ(0u, createIf(&plugin_));
    return PluginTestPeer(plugin_);
  }
  PluginTestPeer Impl() { return PluginTestPeer(plugin_); }

  void AddSupportedDevices(int count) {
    for (int i = 0; i < count; ++i)
      home_.AddPciDevice("0000:0" + std::to_string(i + 3) + ":00.0", "0x8086", "0x0a54");
  }

  // The stand-in tool with a drive state; every run is logged to DIR/tool-runs.
  void UseDrives(const std::string& fixture) {
    home_.UseFixture(fixture);
    home_.InstallLoggedTool();
  }

  uint32_t Init(std::vector<PI::CAdapterID>& ids) {
    return plugin_->Request(REQ_INITIALIZE, 0, &ids);
  }

  TestHome home_;
  std::shared_ptr<KVL::Misc::ManualClock> clock_;
  IPLUGINAPI* plugin_ = nullptr;
};

TEST_F(LifecycleTest, SettingsTakeOnlyWholeDecimalNumbers) {
  const std::pair<const char*, uint32_t> polls[] = {
      {"1", 2}, {"1000", 255}, {"abc", 30}, {"12x", 30}, {" 15", 15}, {"", 30},
      {"-5", 30}, {"4294967296", 30}, {"60", 60}};
  for (const auto& [text, expected] : polls) {
    home_.WriteFile("Varnock.ini", std::string("# comment\nPollInterval=") + text + "\n");
    EXPECT_EQ(expected, Create().m_PollInterval.load()) << "PollInterval=" << text;
    releaseIf(&plugin_);
  }
  const std::pair<const char*, uint64_t> rates[] = {
      {"0", 0}, {"120000", 120000}, {"x1", 30000}, {"", 30000}};
  for (const auto& [text, expected] : rates) {
    home_.WriteFile("CustomOpts.ini", std::string("IntelPCIeTopologyRefreshRate = ") + text);
    EXPECT_EQ(expected, Create().m_TopologyRefreshRate) << "rate " << text;
    releaseIf(&plugin_);
  }
}

TEST_F(LifecycleTest, CodesOutsideTheTableAreRefusedUntouched) {
  Create();
  for (int32_t code : {0, -1, 11, 1000}) {
    std::vector<PI::CProperty> data(1);
    data[0].m_ID = 42;
    EXPECT_EQ(PI::ERR_FUNCTION_OUT_OF_RANGE, plugin_->Request(code, 0, &data)) << code;
    ASSERT_EQ(1u, data.size());
    EXPECT_EQ(42u, data[0].m_ID);
  }
}

TEST_F(LifecycleTest, FactoryReportsAFailedAllocation) {
  g_FailNothrowNew = true;
  IPLUGINAPI* plugin = reinterpret_cast<IPLUGINAPI*>(0x1);
  const uint32_t result = createIf(&plugin);
  g_FailNothrowNew = false;
  EXPECT_EQ(PI::ERR_OUT_OF_MEMORY, result);
  EXPECT_EQ(nullptr, plugin);
}

TEST_F(LifecycleTest, ReleaseNullsThePointerAndIgnoresNull) {
  Create();
  releaseIf(&plugin_);
  EXPECT_EQ(nullptr, plugin_);
  releaseIf(&plugin_);
  EXPECT_EQ(nullptr, plugin_);
}

TEST_F(LifecycleTest, NoSupportedDeviceRunsNoToolAndStoresNothing) {
  UseDrives("two-drives.json");
  home_.AddPciDevice("0000:03:00.0", "0x8086", "0x1234");
  Create();
  std::vector<PI::CAdapterID> ids;
  EXPECT_EQ(PI::ERR_NO_SUPPORTED_HARDWARE, Init(ids));
  EXPECT_TRUE(ids.empty());
  EXPECT_FALSE(home_.Exists("tool-runs"));
  EXPECT_EQ(0, home_.CountRows("Plugin"));
}

TEST_F(LifecycleTest, FailingInventoryHandsBackAnEmptyListAndStoresNothing) {
  AddSupportedDevices(1);
  const std::pair<const char*, int> answers[] = {{"", 3}, {"[]\n", 0}};
  for (const auto& [output, status] : answers) {
    home_.InstallAnsweringTool(output, status);
    Create();
    std::vector<PI::CAdapterID> ids(3);
    EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, Init(ids)) << output << status;
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(0u, Impl().m_AdapterCount);
    EXPECT_EQ(0, home_.CountRows("Plugin"));
    EXPECT_EQ(0, home_.CountRows("Adapter"));
    releaseIf(&plugin_);
  }
}

TEST_F(LifecycleTest, LockOrEventThatCannotBeReadiedFailsInitialize) {
  AddSupportedDevices(1);
  UseDrives("two-drives.json");
  const char* failures[] = {"m_DataLock.Init()", "m_PrivateEventsLock.Init()",
                            "m_ForceWorker.Init()", "m_StopRequest.Init()",
                            "m_PrivateEvent.Init()"};
  KVL::Misc::SetTraceFile(home_.Path("trace.log"));
  KVL::Misc::SetTraceMask(309, 2);
  for (int n = 1; n <= 5; ++n) {
    Create();
    KVL::Testing::FailInitAt(n);
    std::vector<PI::CAdapterID> ids;
    EXPECT_EQ(PI::ERR_LOCK_INITIALIZATION_FAILED, Init(ids)) << n;
    EXPECT_NE(std::string::npos, home_.ReadFile("trace.log").find(failures[n - 1])) << n;
    releaseIf(&plugin_);
  }
  KVL::Misc::SetTraceFile("");
  EXPECT_FALSE(home_.Exists("tool-runs"));
}

TEST_F(LifecycleTest, TwoDrivesGiveTwoIdentifiersAndOneRowEach) {
  AddSupportedDevices(2);
  UseDrives("two-drives.json");
  Create();
  std::vector<PI::CAdapterID> ids;
  ASSERT_EQ(0u, Init(ids));
  ASSERT_EQ(2u, ids.size());
  EXPECT_EQ(3u, ids[0].GetBus());
  EXPECT_EQ(4u, ids[1].GetBus());
  EXPECT_EQ(-1, ids[0].GetAdapterNumber());
  EXPECT_EQ(1, home_.CountRows("Plugin"));
  EXPECT_EQ(2, home_.CountRows("Adapter"));
  EXPECT_EQ(2, home_.CountRows("PD"));
  EXPECT_EQ(2u, Impl().m_AdapterCount);
  // The plug-in object is the parent of both adapters.
  EXPECT_EQ(2u, Impl().m_Plugin.GetChildren().size());
  EXPECT_EQ(Impl().m_Plugin.GetID(), Impl().m_Adapters[1].GetParents().at(0));
}

class RoutingTest : public LifecycleTest {
 protected:
  void SetUp() override {
    LifecycleTest::SetUp();
    AddSupportedDevices(2);
    UseDrives("two-drives.json");
    Create();
    std::vector<PI::CAdapterID> ids;
    ASSERT_EQ(0u, Init(ids));
  }
  uint64_t AdapterId() { return Impl().m_Adapters.at(0).GetID(); }
  uint64_t DriveId() { return Impl().m_PhysicalDrives.at(0).GetID(); }
  uint64_t PluginId() { return Impl().m_Plugin.GetID(); }
};

TEST_F(RoutingTest, AbsentPropertyIsNotFoundButStillCountsAChange) {
  const uint64_t before = Impl().m_Adapters[0].GetChangeCount();
  PI::CProperty property(99999, false);
  EXPECT_EQ(PI::ERR_NO_PROPERTY_FOUND, plugin_->Request(REQ_GET_PROPERTY, AdapterId(), &property));
  EXPECT_EQ(before + 1, Impl().m_Adapters[0].GetChangeCount());
}

TEST_F(RoutingTest, PropertyOneIsTheFirstOfTheFullList) {
  for (uint64_t id : {PluginId(), AdapterId(), DriveId()}) {
    std::vector<PI::CProperty> all;
    ASSERT_EQ(0u, plugin_->Request(REQ_GET_PROPERTIES, id, &all));
    ASSERT_FALSE(all.empty());
    PI::CProperty first(1, false);
    ASSERT_EQ(0u, plugin_->Request(REQ_GET_PROPERTY, id, &first));
    EXPECT_EQ(all[0], first);
  }
}

TEST_F(RoutingTest, AdaptersAndDrivesHaveNoSettableProperty) {
  PI::CProperty property(PI::PROP_NAME, true);
  property.SetValue("renamed");
  for (uint64_t id : {AdapterId(), DriveId(), PluginId()})
    EXPECT_EQ(PI::ERR_PROPERTY_NOT_SETTABLE, plugin_->Request(REQ_SET_PROPERTY, id, &property));
}

TEST_F(RoutingTest, UnknownIdentifierTouchesNothing) {
  const uint64_t unknown = kIdBase | 999;
  std::vector<PI::CProperty> properties(2);
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_GET_PROPERTIES, unknown, &properties));
  EXPECT_TRUE(properties.empty());
  PI::CProperty property(PI::PROP_NAME, false);
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_GET_PROPERTY, unknown, &property));
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_SET_PROPERTY, unknown, &property));
  std::vector<PI::COperation> operations(1);
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_GET_OPERATIONS, unknown, &operations));
  EXPECT_TRUE(operations.empty());
  PI::COperation operation;
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_CHECK_OPERATION, unknown, &operation));
  EXPECT_EQ(PI::ERR_NO_OBJECT, plugin_->Request(REQ_EXECUTE_OPERATION, unknown, &operation));
}

TEST_F(RoutingTest, PluginObjectWinsAnIdentifierItSharesWithAnAdapter) {
  Impl().m_Adapters[1].SetID(PluginId());
  std::vector<PI::CProperty> properties;
  ASSERT_EQ(0u, plugin_->Request(REQ_GET_PROPERTIES, PluginId(), &properties));
  ASSERT_FALSE(properties.empty());
  EXPECT_EQ(PI::PROP_ADDRESS, properties[0].m_ID);
  EXPECT_EQ("Plugin:ID=309", properties[0].m_Text);
}

TEST_F(RoutingTest, OperationsOfEachKind) {
  std::vector<PI::COperation> operations(3);
  EXPECT_EQ(0u, plugin_->Request(REQ_GET_OPERATIONS, AdapterId(), &operations));
  EXPECT_TRUE(operations.empty());
  ASSERT_EQ(0u, plugin_->Request(REQ_GET_OPERATIONS, PluginId(), &operations));
  ASSERT_EQ(1u, operations.size());
  EXPECT_EQ(PI::OP_GET_EVENTS, operations[0].GetID());

  PI::COperation other;
  other.m_ID = PI::OP_NEEDS_HEALTHY_DRIVE;
  EXPECT_EQ(0u, plugin_->Request(REQ_CHECK_OPERATION, DriveId(), &other));
  EXPECT_EQ(PI::ERR_OPERATION_NOT_EXECUTABLE,
            plugin_->Request(REQ_EXECUTE_OPERATION, DriveId(), &other));
  EXPECT_EQ(PI::ERR_OPERATION_NOT_EXECUTABLE,
            plugin_->Request(REQ_EXECUTE_OPERATION, PluginId(), &other));
  EXPECT_EQ(0u, plugin_->Request(REQ_EXECUTE_OPERATION, AdapterId(), &other));
}

}  // namespace
