#include "HostDriver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "KVLX.h"

using NAMESPACE_Varnock::PluginTestPeer;

namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("host driver: " + what);
}

}  // namespace

HostDriver::HostDriver(TestHome& home, const std::string& fixture, int pciDevices,
                       const std::string& outputFilter)
    : m_Home(home), m_Clock(std::make_shared<KVL::Misc::ManualClock>()) {
  KVL::Misc::SetClock(m_Clock);
  KVLX::CSystem::SetTimeLimit(20000);
  for (int i = 0; i < pciDevices; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "0000:%02x:00.0", 3 + i);
    home.AddPciDevice(address, "0x8086", "0x0a54");
  }
  home.UseFixture(fixture);
  // Time-outs make light passes; full passes come from changed warnings or ForceFullPass.
  home.WriteFile("CustomOpts.ini", "IntelPCIeTopologyRefreshRate=3600000000\n");
  if (outputFilter.empty()) {
    home.InstallLoggedTool();  // the stand-in itself is the plug-in's child
    return;
  }
  // The filter needs a shell between the plug-in and the stand-in (POSIX only).
  std::filesystem::copy_file(BuiltProgram("tools/isdct/isdct.exe"), home.Path("bin/real-isdct"),
                             std::filesystem::copy_options::overwrite_existing);
  home.WriteFile("bin/filter.sed", outputFilter);
  home.InstallScriptTool("#!/bin/sh\necho \"$*\" >> " + home.Path("tool-runs") + "\n" +
                         "export ISDCT_STATE=" + home.Path("bin/drives.json") + "\n" +
                         home.Path("bin/real-isdct") + " \"$@\" | sed -f " +
                         home.Path("bin/filter.sed") + "\n");
}

HostDriver::~HostDriver() {
  if (m_Plugin != nullptr) {
    if (m_Initialized) Stop();
    releaseIf(&m_Plugin);
  }
  KVL::Misc::SetClock(KVL::Misc::MakeRealClock());
  KVLX::CSystem::SetTimeLimit(60000);
}

isdct::State HostDriver::State() const {
  isdct::State state;
  std::string error;
  Check(isdct::LoadState(m_Home.Path("bin/drives.json"), state, error), error);
  return state;
}

void HostDriver::ChangeState(const std::function<void(isdct::State&)>& change) const {
  isdct::State state = State();
  change(state);
  std::string error;
  Check(isdct::SaveState(m_Home.Path("bin/drives.json"), state, error), error);
}

void HostDriver::Create() {
  Check(createIf(&m_Plugin) == 0, "createIf failed");
  m_Plugin->m_CallbackContext = reinterpret_cast<uint64_t>(this);
  m_Plugin->m_Callback = &HostDriver::OnNotify;
}

uint32_t HostDriver::Initialize(std::vector<PI::CAdapterID>* ids) {
  m_AdapterIds.clear();
  const uint32_t result = m_Plugin->Request(REQ_INITIALIZE, 0, &m_AdapterIds);
  if (ids != nullptr) *ids = m_AdapterIds;
  m_Initialized = true;
  return result;
}

void HostDriver::StartWorker() {
  std::vector<PI::CAdapterID> ids = m_AdapterIds;
  for (size_t i = 0; i < ids.size(); ++i) ids[i].SetAdapterNumber(static_cast<int32_t>(i));
  Check(m_Plugin->Request(REQ_SET_ADAPTER_IDS, 0, &ids) == 0, "SetAdapterIDs failed");
  Check(m_Clock->WaitForSleepers(1, 60000), "the worker does not wait");
  m_Clock->Advance(100);  // the first wake-up: a full pass
  Check(m_Clock->WaitForSleepers(1, 60000), "the worker's first pass does not end");
}

void HostDriver::Start() {
  Create();
  Check(Initialize() == 0, "Initialize failed");
  StartWorker();
  CollectEvents();
}

size_t HostDriver::RecordCount() const {
  KVL::Threading::CSyncGuard guard;
  Impl().m_DataLock.Wait(&guard, KVL::INFINITE);
  return Impl().m_AdapterInfos.size();
}

void HostDriver::Poll() {
  const size_t records = RecordCount();
  m_Clock->Advance(Impl().m_PollInterval.load() * 1000ULL);
  for (size_t i = 0; i < records; ++i) {
    Check(m_Clock->WaitForSleepers(1, 60000), "the worker does not pause after a drive");
    m_Clock->Advance(1000);
  }
  Check(m_Clock->WaitForSleepers(1, 60000), "the worker's pass does not end");
}

void HostDriver::ForceFullPass() {
  const int inventories = ToolRuns("show -all -o json -vedidevu");
  Impl().m_ForceWorker.Set();
  // The worker left its wait once the pass's inventory ran; then it waits anew.
  for (int i = 0; i < 6000 && ToolRuns("show -all -o json -vedidevu") == inventories; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Check(ToolRuns("show -all -o json -vedidevu") > inventories, "the forced pass does not start");
  Check(m_Clock->WaitForSleepers(1, 60000), "the forced pass does not end");
}

uint32_t HostDriver::Stop() {
  auto done = std::async(std::launch::async,
                         [this] { return m_Plugin->Request(REQ_DEINITIALIZE, 0, nullptr); });
  while (done.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
    if (m_Clock->WaitForSleepers(1, 100)) m_Clock->Advance(500);
  m_Initialized = false;
  return done.get();
}

std::vector<PI::CEvent> HostDriver::CollectEvents() {
  PI::COperation operation;
  operation.m_ID = PI::OP_GET_EVENTS;
  Check(m_Plugin->Request(REQ_EXECUTE_OPERATION, Impl().m_Plugin.GetID(), &operation) == 0,
        "collecting the events failed");
  return operation.GetEvents();
}

std::vector<uint32_t> HostDriver::Codes(const std::vector<PI::CEvent>& events) {
  std::vector<uint32_t> codes;
  for (const PI::CEvent& event : events) codes.push_back(event.m_Code);
  return codes;
}

int HostDriver::ToolRuns(const std::string& arguments) const {
  std::istringstream lines(m_Home.ReadFile("tool-runs"));
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line == arguments;
  return count;
}

PluginTestPeer HostDriver::Impl() const { return PluginTestPeer(m_Plugin); }

void HostDriver::OnNotify(uint64_t context, IPLUGINAPI*) {
  ++reinterpret_cast<HostDriver*>(context)->m_Notified;
}
