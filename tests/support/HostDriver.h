// A host that drives the plug-in through its exports on a manual clock, against the tool
// stand-in in a test home, which logs its runs: start it, change the drives, let the worker
// poll, collect the events, stop it. The test thread drives it; Plugin()->Request may also be
// called from other threads while the worker runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DriveState.h"
#include "KVL.h"
#include "PI.h"
#include "TestHome.h"
#include "PluginTestPeer.h"

class HostDriver {
 public:
  // Installs a manual clock (the real one comes back on destruction), `pciDevices` supported
  // PCI functions (0000:03:00.0, 0000:04:00.0 ...) and the stand-in with the fixture's drives;
  // the topology refresh rate is set so long that time-outs make only light passes.
  // `outputFilter` is a sed script applied to everything the tool prints.
  HostDriver(TestHome& home, const std::string& fixture, int pciDevices = 4,
             const std::string& outputFilter = "");
  // Stops a started plug-in and releases it.
  ~HostDriver();
  HostDriver(const HostDriver&) = delete;
  HostDriver& operator=(const HostDriver&) = delete;

  // The tool's drive state, read and written through the stand-in's state file.
  isdct::State State() const;
  void ChangeState(const std::function<void(isdct::State&)>& change) const;

  // createIf; Initialize (request 1) with the host's list handed back in `ids` when given.
  void Create();
  uint32_t Initialize(std::vector<PI::CAdapterID>* ids = nullptr);
  // SetAdapterIDs with the adapters numbered 0, 1, 2 ..., then the worker's first (full) pass.
  void StartWorker();
  // Create, Initialize (must succeed), StartWorker, and the events of the first pass dropped.
  void Start();
  // One time-out of the worker (the poll interval passes): the light pass with its one-second
  // pause after each drive, and the full pass it turns into when warnings changed. Returns when
  // the worker waits again.
  void Poll();
  // Wakes the worker for a full pass (m_ForceWorker) and returns when it waits again.
  void ForceFullPass();
  // DeInitialize, moving toolkit time whenever it sleeps; its result.
  uint32_t Stop();

  // The events operation on the plug-in object: the events the plug-in had pending.
  std::vector<PI::CEvent> CollectEvents();
  static std::vector<uint32_t> Codes(const std::vector<PI::CEvent>& events);

  // Calls of the host's notification callback so far.
  int Notifications() const { return m_Notified.load(); }
  // Number of tool runs with exactly these arguments, and of all runs.
  int ToolRuns(const std::string& arguments) const;

  IPLUGINAPI* Plugin() const { return m_Plugin; }
  // The plug-in object opened: its fields and steps.
  NAMESPACE_Varnock::PluginTestPeer Impl() const;
  KVL::Misc::ManualClock& Clock() const { return *m_Clock; }

 private:
  static void OnNotify(uint64_t context, IPLUGINAPI* plugin);
  size_t RecordCount() const;

  TestHome& m_Home;
  std::shared_ptr<KVL::Misc::ManualClock> m_Clock;
  IPLUGINAPI* m_Plugin = nullptr;
  bool m_Initialized = false;
  std::vector<PI::CAdapterID> m_AdapterIds;  // as Initialize handed them to the host
  std::atomic<int> m_Notified{0};
};

// Identifiers of the processes whose parent is this process (the tool runs still alive).
std::vector<int> ChildProcesses();
// True while the process `pid` runs (an ended one waiting to be reaped does not).
bool ProcessRunning(long pid);
