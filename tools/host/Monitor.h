// The main job: starts the plug-in as the host does, shows the drives as a table, and answers
// each notification by collecting the events (PI::OP_GET_EVENTS on the plug-in object) and
// re-reading the objects, printing what changed. The demo drives the same machinery. Runs on
// the shell's main thread; the plug-in's notification only wakes it through the Notifier.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "PI.h"

namespace host_shell {

class Notifier;
class PluginHost;
struct Options;

class Monitor {
 public:
  Monitor(PluginHost& host, Notifier& notifier, const Options& options);

  // createIf, Initialize, SetAdapterIDs, then the drive table. False (with a message on standard
  // error) when the plug-in does not start; the caller still calls Stop.
  bool Start();
  // Answers notifications until a stop request or `realMs` pass (negative: no limit).
  void Watch(double realMs);
  // Answers notifications until one brings an event with one of `codes`, a stop request, or
  // `realMs` pass. True when such an event came.
  bool WaitForEvents(const std::vector<uint32_t>& codes, double realMs);
  // DeInitialize and release (whatever Start reached).
  void Stop();
  // Why the last Start failed, in the words it printed; empty after a Start that succeeded.
  const std::string& LastError() const { return m_LastError; }

  // Prints a line of narration ("== ...").
  void Say(const std::string& text);

  // Called on the main thread after each collection with the result of PI::OP_GET_EVENTS, the
  // events it handed over and the objects as re-read right after (the last good topology when
  // that request failed). The references are valid during the call only.
  using CollectObserver = std::function<void(uint32_t result, const std::vector<PI::CEvent>&,
                                             const std::vector<PI::CObject>&)>;
  void SetObserver(CollectObserver observer) { m_Observer = std::move(observer); }

 private:
  // One drive as the table shows it, keyed by the adapter's identifier.
  struct Row {
    uint64_t id = 0;
    std::vector<std::string> cells;
    int32_t status = 0;
  };

  // Collects and prints the pending events, then re-reads the objects and prints the table
  // again when a row changed. The events are appended to `seen` when given.
  void Collect(std::vector<PI::CEvent>* seen);
  // Re-reads the topology into m_Objects, m_Rows and m_Names; true when the rows changed.
  bool Refresh();
  void PrintTable();
  std::string Label(uint64_t id) const;

  PluginHost& m_Host;
  Notifier& m_Notifier;
  const Options& m_Options;
  bool m_Colour;
  uint64_t m_PluginId = 0;
  std::vector<PI::CObject> m_Objects;       // the last topology
  std::vector<Row> m_Rows;
  std::map<uint64_t, std::string> m_Names;  // every object seen so far
  CollectObserver m_Observer;
  std::string m_LastError;
};

}  // namespace host_shell
