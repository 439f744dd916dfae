// The picture that serve answers from: the last topology the shell read, the events handed over
// so far, and the pages rendered from them (metrics text, topology and events JSON). The main
// thread keeps a FleetView and renders it after every change; request threads only read the
// immutable Pages that a render hands out, so no request ever waits on the plug-in.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Metrics.h"
#include "PI.h"

namespace host_shell {

// What a request is answered with; immutable once rendered, shared by every request thread.
struct Pages {
  std::string metrics;   // the exposition without the shell's own request counters
  std::string topology;  // {"cmd": "topology", "result": ..., "objects": [...]}
  std::string events;    // {"cmd": "exec", "object": ..., "result": ..., "events": [...], ...}
};

class FleetView {
 public:
  // Events kept for the page and /api/events, oldest dropped first.
  static constexpr size_t kKeptEvents = 100;

  // The plug-in runs (Initialize and SetAdapterIDs succeeded) or no longer does.
  void SetRunning(bool running);
  // A topology request's result and objects; the objects are kept only when it succeeded.
  void SetTopology(uint32_t result, const std::vector<PI::CObject>& objects);
  // A notification answered: the result of PI::OP_GET_EVENTS, its events, the objects re-read
  // after it and the toolkit time (ms) it was answered at.
  void Collected(uint32_t result, const std::vector<PI::CEvent>& events,
                 const std::vector<PI::CObject>& objects, uint64_t nowMs);

  // Why the plug-in does not run (empty once it does): shown by the metrics and the topology.
  void SetError(const std::string& reason) { m_State.lastError = reason; }
  // By serial number, whether each drive's health was last read whole.
  void SetHealthReads(std::map<std::string, bool> reads) { m_State.healthReadOk = std::move(reads); }

  // The poll interval the plug-in object shows, in seconds; `fallback` when it shows none.
  double PollSeconds(double fallback) const;

  // The pages of the picture as it is now. The caller owns the result; it never changes.
  std::shared_ptr<const Pages> Render() const;

 private:
  std::string ObjectLabel(uint64_t id) const;

  bool m_Running = false;
  uint32_t m_TopologyResult = 0;
  FleetState m_State;
  uint32_t m_CollectResult = 0;
  std::deque<PI::CEvent> m_Events;           // the last kKeptEvents, oldest first
  uint64_t m_EventTotal = 0;                 // every event handed over since the start
  std::map<uint64_t, std::string> m_Names;   // every object seen, so old events keep names
};

}  // namespace host_shell
