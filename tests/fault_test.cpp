// Faults during Initialize and during the worker's passes: the tool hanging, crashing, printing
// garbage or exiting non-zero at each of its runs; the host database locked past its busy
// timeout, read-only, deleted or corrupt; configuration files that cannot be used; and
// DeInitialize while the worker sits in a hung tool. Each ends with a plug-in that still
// monitors, hands over every event, stops in time and leaves no tool process behind.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DatabaseDAO.h"
#include "DatabaseORM.h"
#include "HostDriver.h"
#include "KVLX.h"

namespace {

using isdct::FaultKind;
using ToolRun = isdct::Run;

// Real time a hung tool gets before it is killed while a fault is set: long enough for a sound
// run of the stand-in built with the sanitizers on a loaded machine, so only the hung one is cut
// off. Once the faults are cleared, runs get the default limit, which only a hang reaches.
constexpr uint64_t kToolLimitMs = 4000;
constexpr uint64_t kDefaultToolLimitMs = 60000;

const char* PageLine(ToolRun run) {
  switch (run) {
    case ToolRun::kSmartHealth: return "show -o json -vedidevu 0 -nvmelog SmartHealthInfo";
    case ToolRun::kTemperature: return "show -o json -vedidevu 0 -nvmelog TemperatureStatistics";
    case ToolRun::kSmartAttributes: return "show -o json -smart -vedidevu 0";
    case ToolRun::kDriveInfo: return "show -all -o json -vedidevu 0";
    default: return "show -all -o json -vedidevu";
  }
}

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : host_(home_, "two-drives.json") {}
  ~FaultTest() override { DatabaseWrapper::SetDefaultBusyTimeout(2000); }

  // The inventory and version faults hit the whole tool; a page fault hits drive 0 only.
  void GiveFault(FaultKind kind, ToolRun run) {
    host_.ChangeState([&](isdct::State& state) {
      isdct::Fault& fault = run == ToolRun::kInventory || run == ToolRun::kVersion
                                ? state.fault
                                : state.drives.at(0).fault;
      fault.kind = kind;
      fault.page = run;
    });
  }
  void ClearFaults() {
    KVLX::CSystem::SetTimeLimit(kDefaultToolLimitMs);
    host_.ChangeState([](isdct::State& state) {
      state.fault = isdct::Fault();
      for (isdct::Drive& drive : state.drives) drive.fault = isdct::Fault();
    });
  }
  void SetTemperature(size_t drive, int64_t degrees) {
    host_.ChangeState([&](isdct::State& state) { state.drives.at(drive).temperature = degrees; });
  }
  void RemoveSecondDrive() {
    host_.ChangeState([&](isdct::State& state) {
      removed_ = state.drives.at(1);
      state.drives.pop_back();
    });
  }
  void ReturnSecondDrive() {
    host_.ChangeState([&](isdct::State& state) { state.drives.push_back(removed_); });
  }

  // Drive 0 heats past 80 degrees: the next poll must report it (bits 64 and 512).
  void ExpectHeatUpReported() {
    SetTemperature(0, 81);
    host_.Poll();
    EXPECT_EQ((std::vector<uint32_t>{10962, 10959}), HostDriver::Codes(host_.CollectEvents()));
  }
  void ExpectCleanStop() {
    EXPECT_EQ(0u, host_.Stop());
    EXPECT_TRUE(ChildProcesses().empty());
  }
  float AdapterTemperature(size_t i) { return host_.Impl().m_Adapters.at(i).m_Temperature; }

  TestHome home_;
  HostDriver host_;
  isdct::Drive removed_;
};

// --- The tool ---------------------------------------------------------------------------------

struct ToolFault {
  FaultKind kind;
  ToolRun run;
};

std::string FaultName(const ::testing::TestParamInfo<ToolFault>& info) {
  std::string name =
      std::string(isdct::RunName(info.param.run)) + "_" + isdct::FaultKindName(info.param.kind);
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

std::vector<ToolFault> Faults(std::vector<ToolRun> runs, std::vector<FaultKind> kinds) {
  std::vector<ToolFault> faults;
  for (ToolRun run : runs)
    for (FaultKind kind : kinds) faults.push_back({kind, run});
  return faults;
}

const std::vector<FaultKind> kEveryKind = {FaultKind::kHang, FaultKind::kCrash,
                                           FaultKind::kInvalidJson, FaultKind::kExit};
const std::vector<ToolRun> kPages = {ToolRun::kSmartHealth, ToolRun::kTemperature,
                                     ToolRun::kSmartAttributes, ToolRun::kDriveInfo};

// The temperature drive 0 shows when its health query stopped at `run`: the temperature page
// comes second, so a failure at either of the first two pages leaves the default of 10 degrees.
float TemperatureAfterFailureAt(ToolRun run) {
  return run == ToolRun::kSmartHealth || run == ToolRun::kTemperature ? 10.0f : 36.0f;
}

class ToolFaultTest : public FaultTest, public ::testing::WithParamInterface<ToolFault> {};

class InitializeToolFaultTest : public ToolFaultTest {};

TEST_P(InitializeToolFaultTest, InitializeEndsWithAClearResultAndMonitoringWorksAfterwards) {
  const ToolFault fault = GetParam();
  KVLX::CSystem::SetTimeLimit(kToolLimitMs);
  GiveFault(fault.kind, fault.run);
  host_.Create();
  std::vector<PI::CAdapterID> ids;
  const uint32_t result = host_.Initialize(&ids);

  if (fault.run == ToolRun::kInventory) {
    EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, result);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(0, home_.CountRows("Plugin"));
    ExpectCleanStop();
    return;
  }
  ASSERT_EQ(0u, result);
  EXPECT_EQ(2u, ids.size());
  EXPECT_EQ(2, home_.CountRows("Adapter"));
  EXPECT_EQ(2, home_.CountRows("PD"));
  EXPECT_EQ(fault.run == ToolRun::kVersion ? "" : "3.2.0", host_.Impl().m_ToolVersion);
  EXPECT_EQ(31.0f, AdapterTemperature(1));
  if (fault.run != ToolRun::kVersion) {
    EXPECT_EQ(TemperatureAfterFailureAt(fault.run), AdapterTemperature(0));
  }

  ClearFaults();
  host_.StartWorker();
  host_.CollectEvents();
  ExpectHeatUpReported();
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(EveryRun, InitializeToolFaultTest,
                         ::testing::ValuesIn(Faults({ToolRun::kInventory, ToolRun::kVersion,
                                                     ToolRun::kSmartHealth, ToolRun::kTemperature,
                                                     ToolRun::kSmartAttributes,
                                                     ToolRun::kDriveInfo},
                                                    kEveryKind)),
                         FaultName);

class FullPassToolFaultTest : public ToolFaultTest {};

TEST_P(FullPassToolFaultTest, PassUsesWhatItCouldReadAndTheNextPassRecovers) {
  const ToolFault fault = GetParam();
  host_.Start();
  KVLX::CSystem::SetTimeLimit(kToolLimitMs);
  GiveFault(fault.kind, fault.run);
  SetTemperature(1, 50);
  host_.ForceFullPass();

  if (fault.run == ToolRun::kInventory) {
    // Without an inventory the picture is empty: both adapters vanish, and come back.
    EXPECT_EQ((std::vector<uint32_t>{11094, 11094}), HostDriver::Codes(host_.CollectEvents()));
    EXPECT_TRUE(host_.Impl().m_Adapters.empty());
    ClearFaults();
    host_.ForceFullPass();
    EXPECT_EQ((std::vector<uint32_t>{11093, 11093}), HostDriver::Codes(host_.CollectEvents()));
  } else {
    // The drive's capacity page was not read: its size reads 0 (a size change) and back.
    EXPECT_EQ((std::vector<uint32_t>{10985}), HostDriver::Codes(host_.CollectEvents()));
    EXPECT_EQ(TemperatureAfterFailureAt(fault.run), AdapterTemperature(0));
    EXPECT_EQ(50.0f, AdapterTemperature(1));  // the other drive was read in the same pass
    ClearFaults();
    host_.ForceFullPass();
    EXPECT_EQ((std::vector<uint32_t>{10985}), HostDriver::Codes(host_.CollectEvents()));
    EXPECT_EQ(36.0f, AdapterTemperature(0));
  }
  ASSERT_EQ(2u, host_.Impl().m_Adapters.size());
  ExpectHeatUpReported();
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(
    EveryRun, FullPassToolFaultTest,
    ::testing::ValuesIn(Faults({ToolRun::kInventory, ToolRun::kSmartHealth, ToolRun::kTemperature,
                                ToolRun::kSmartAttributes, ToolRun::kDriveInfo},
                               kEveryKind)),
    FaultName);

class LightPassToolFaultTest : public ToolFaultTest {};

TEST_P(LightPassToolFaultTest, FailedDriveKeepsItsValuesAndTheOtherIsRead) {
  const ToolFault fault = GetParam();
  host_.Start();
  KVLX::CSystem::SetTimeLimit(kToolLimitMs);
  GiveFault(fault.kind, fault.run);
  SetTemperature(0, 60);
  SetTemperature(1, 50);
  host_.Poll();
  EXPECT_TRUE(host_.CollectEvents().empty());
  EXPECT_EQ(36.0f, AdapterTemperature(0));
  EXPECT_EQ(50.0f, AdapterTemperature(1));

  ClearFaults();
  host_.Poll();
  EXPECT_EQ(60.0f, AdapterTemperature(0));
  ExpectHeatUpReported();
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(EveryPage, LightPassToolFaultTest,
                         ::testing::ValuesIn(Faults(kPages, {FaultKind::kHang, FaultKind::kCrash,
                                                             FaultKind::kInvalidJson})),
                         FaultName);

class HungPageTest : public FaultTest, public ::testing::WithParamInterface<ToolRun> {};

TEST_P(HungPageTest, DeInitializeCancelsTheWorkerAfterItsLimitAndKillsTheTool) {
  host_.Start();
  GiveFault(FaultKind::kHang, GetParam());  // hangs until killed: the tool limit is 20 s
  const int runs = host_.ToolRuns(PageLine(GetParam()));
  if (GetParam() == ToolRun::kInventory)
    host_.Impl().m_ForceWorker.Set();  // a full pass runs into the hung inventory
  else
    host_.Clock().Advance(255 * 1000);  // a time-out: the light pass runs into the hang
  for (int i = 0;
       i < 1000 && (host_.ToolRuns(PageLine(GetParam())) == runs || ChildProcesses().empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(1u, ChildProcesses().size());

  const uint64_t start = host_.Clock().Now();
  EXPECT_EQ(0u, host_.Stop());
  const uint64_t elapsed = host_.Clock().Now() - start;
  EXPECT_GE(elapsed, 25000u);
  EXPECT_LE(elapsed, 27000u);
  EXPECT_EQ(0u, host_.Impl().m_WorkerThread->Wait(0));
  EXPECT_TRUE(ChildProcesses().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryPage, HungPageTest,
                         ::testing::Values(ToolRun::kInventory, ToolRun::kSmartHealth,
                                           ToolRun::kTemperature, ToolRun::kSmartAttributes,
                                           ToolRun::kDriveInfo),
                         [](const ::testing::TestParamInfo<ToolRun>& info) {
                           return std::string("page") + isdct::RunName(info.param);
                         });

// A hung tool that started a helper of its own: the time limit ends both, not the tool alone.
TEST_F(FaultTest, HungToolAndTheProcessItStartedAreBothEndedAtTheLimit) {
  host_.ChangeState([&](isdct::State& state) {
    state.fault.kind = FaultKind::kHang;
    state.fault.page = ToolRun::kInventory;
    state.fault.child = true;
    state.fault.pidfile = home_.Path("hung-pids");
  });
  KVLX::CSystem::SetTimeLimit(kToolLimitMs);
  host_.Create();
  EXPECT_EQ(PI::ERR_API_INITIALIZATION_FAILED, host_.Initialize());

  long tool = 0;
  long helper = 0;
  ASSERT_EQ(2, std::sscanf(home_.ReadFile("hung-pids").c_str(), "%ld %ld", &tool, &helper));
  ASSERT_GT(helper, 0) << "the tool could not start its helper";
  // Ending a process is asynchronous on some systems: a bounded wait for what was ended.
  for (int i = 0; i < 1000 && (ProcessRunning(tool) || ProcessRunning(helper)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(ProcessRunning(tool));
  EXPECT_FALSE(ProcessRunning(helper));
  ExpectCleanStop();
}

// --- The host database --------------------------------------------------------------------------

enum class DatabaseFault { kLocked, kReadOnly };

// Another connection holds the write lock, or the plug-in's connection is read-only; lifted,
// writes go through again.
class RefusingDatabaseTest : public FaultTest, public ::testing::WithParamInterface<DatabaseFault> {
 protected:
  ~RefusingDatabaseTest() override { sqlite3_close(other_); }

  void Apply() {
    auto& storage = *host_.Impl().m_Database;
    if (GetParam() == DatabaseFault::kLocked) {
      storage.dao->setBusyTimeout(50);
      ASSERT_EQ(SQLITE_OK, sqlite3_open(home_.Path("host.db").c_str(), &other_));
      ASSERT_EQ(SQLITE_OK, sqlite3_exec(other_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
    } else {
      writable_ = storage.dao;
      storage.dao = DatabaseWrapper::DatabaseDAO::Open(home_.Path("host.db"),
                                                       DatabaseWrapper::OpenMode::ReadOnly);
    }
  }
  void Lift() {
    if (GetParam() == DatabaseFault::kLocked) {
      sqlite3_close(other_);  // rolls the lock holder's transaction back
      other_ = nullptr;
    } else {
      host_.Impl().m_Database->dao = writable_;
    }
  }

  sqlite3* other_ = nullptr;
  std::shared_ptr<DatabaseWrapper::DatabaseDAO> writable_;
};

TEST_P(RefusingDatabaseTest, DuringInitializeNothingIsStoredAndMonitoringGoesOn) {
  host_.Create();
  Apply();
  std::vector<PI::CAdapterID> ids;
  EXPECT_EQ(0u, host_.Initialize(&ids));
  EXPECT_EQ(2u, ids.size());
  Lift();
  EXPECT_EQ(0, home_.CountRows("Plugin"));
  EXPECT_EQ(0, home_.CountRows("Adapter"));
  host_.StartWorker();
  host_.CollectEvents();
  ExpectHeatUpReported();
  // Rows are updated, never inserted by an update: the missing rows stay missing.
  EXPECT_EQ(0, home_.CountRows("Adapter"));
  ExpectCleanStop();
}

TEST_P(RefusingDatabaseTest, DuringAPassEventsAreDeliveredAndLaterWritesLand) {
  host_.Start();
  Apply();
  RemoveSecondDrive();
  host_.ForceFullPass();
  EXPECT_EQ((std::vector<uint32_t>{11094}), HostDriver::Codes(host_.CollectEvents()));
  EXPECT_EQ(2, home_.CountRows("Adapter"));  // the delete was refused
  Lift();
  ReturnSecondDrive();
  host_.ForceFullPass();
  EXPECT_EQ((std::vector<uint32_t>{11093}), HostDriver::Codes(host_.CollectEvents()));
  EXPECT_EQ(3, home_.CountRows("Adapter"));  // the refused delete's row, and the new one
  EXPECT_EQ(3, home_.CountRows("PD"));
  ExpectHeatUpReported();
  ExpectCleanStop();
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusingDatabaseTest,
                         ::testing::Values(DatabaseFault::kLocked, DatabaseFault::kReadOnly),
                         [](const ::testing::TestParamInfo<DatabaseFault>& info) {
                           return info.param == DatabaseFault::kLocked ? "Locked" : "ReadOnly";
                         });

void DeleteDatabase(const TestHome& home) {
  for (const char* file : {"host.db", "host.db-wal", "host.db-shm"})
    std::remove(home.Path(file).c_str());
}

TEST_F(FaultTest, DatabaseDeletedWhileRunningIsCreatedAnewForLaterRows) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not let the database file be removed while the host has it open";
#endif
  host_.Start();
  DeleteDatabase(home_);
  RemoveSecondDrive();
  host_.ForceFullPass();
  EXPECT_EQ((std::vector<uint32_t>{11094}), HostDriver::Codes(host_.CollectEvents()));
  ReturnSecondDrive();
  host_.ForceFullPass();
  EXPECT_EQ((std::vector<uint32_t>{11093}), HostDriver::Codes(host_.CollectEvents()));
  ASSERT_TRUE(home_.Exists("host.db"));
  EXPECT_EQ(1, home_.CountRows("Adapter"));  // the drive that came back
  EXPECT_EQ(1, home_.CountRows("PD"));
  ExpectHeatUpReported();
  ExpectCleanStop();
}

TEST_F(FaultTest, CorruptDatabaseLeavesMonitoringIntact) {
  const std::string garbage(8192, '\x5a');
  home_.WriteFile("host.db", garbage);
  host_.Create();
  std::vector<PI::CAdapterID> ids;
  ASSERT_EQ(0u, host_.Initialize(&ids));
  EXPECT_EQ(2u, ids.size());
  host_.StartWorker();
  host_.CollectEvents();
  RemoveSecondDrive();
  host_.ForceFullPass();
  EXPECT_EQ((std::vector<uint32_t>{11094}), HostDriver::Codes(host_.CollectEvents()));
  ExpectHeatUpReported();
  EXPECT_EQ(garbage, home_.ReadFile("host.db"));  // never written over
  ExpectCleanStop();
}

// --- Configuration ------------------------------------------------------------------------------

TEST_F(FaultTest, UnusableConfigurationFilesGiveTheDefaults) {
  const std::string binary(
      "\x7f"
      "ELF\x02\x01\x01\0\0\0PollInterval\xff=\xfe"
      "7\0\n\x80\x81",
      28);
  std::string huge = "PollInterval=7\nIntelPCIeTopologyRefreshRate=7\n";
  huge.resize(3 << 20, '#');
  struct Case {
    const char* what;
    std::string content;  // empty: the file is a directory
    uint32_t poll;
    uint64_t refresh;
  };
  const Case cases[] = {
      {"a directory", "", 30, 30000},
      {"binary", binary, 30, 30000},
      {"binary with one good line", binary + "\nPollInterval=7\nIntelPCIeTopologyRefreshRate=7\n",
       7, 7},
      {"three megabytes", huge, 30, 30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* file : {"Varnock.ini", "CustomOpts.ini"}) {
      std::filesystem::remove_all(home_.Path(file));
      if (c.content.empty())
        std::filesystem::create_directories(home_.Path(file));
      else
        home_.WriteFile(file, c.content);
    }
    NAMESPACE_Varnock::IPLUGINAPI_IMPL made;
    NAMESPACE_Varnock::PluginTestPeer plugin(made);
    EXPECT_EQ(c.poll, plugin.m_PollInterval.load());
    EXPECT_EQ(c.refresh, plugin.m_TopologyRefreshRate);
  }
}

TEST_F(FaultTest, UnwritablePollIntervalIsReportedYetApplied) {
  std::filesystem::create_directories(home_.Path("Varnock.ini"));
  host_.Start();
  const int notified = host_.Notifications();
  PI::CProperty property(PI::PROP_POLL_INTERVAL, true);
  property.SetValue(7, 2, 255, 1);
  EXPECT_EQ(PI::ERR_NO_PROPERTY_FOUND,
            host_.Plugin()->Request(REQ_SET_PROPERTY, host_.Impl().m_Plugin.GetID(), &property));
  EXPECT_EQ(7u, host_.Impl().m_PollInterval.load());
  for (int i = 0; i < 1000 && host_.Notifications() == notified; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(notified + 1, host_.Notifications());  // the worker was woken
  EXPECT_TRUE(std::filesystem::is_directory(home_.Path("Varnock.ini")));
  ExpectHeatUpReported();
  ExpectCleanStop();
}

}  // namespace
