#include "Fleet.h"

#include <vector>

#include "Answer.h"
#include "PluginHost.h"

namespace host_shell {

void FleetView::SetRunning(bool running) {
  m_Running = running;
  m_State.up = m_Running && m_TopologyResult == PI::ERR_SUCCESS;
}

void FleetView::SetTopology(uint32_t result, const std::vector<PI::CObject>& objects) {
  m_TopologyResult = result;
  if (result == PI::ERR_SUCCESS) {
    m_State.objects = objects;
    for (const PI::CObject& object : objects) m_Names[object.m_ID] = ObjectName(object);
  }
  m_State.up = m_Running && m_TopologyResult == PI::ERR_SUCCESS;
}

void FleetView::Collected(uint32_t result, const std::vector<PI::CEvent>& events,
                          const std::vector<PI::CObject>& objects, uint64_t nowMs) {
  m_CollectResult = result;
  m_State.lastNotificationMs = nowMs;
  // Names first, so that events about objects that just appeared are named.
  SetTopology(PI::ERR_SUCCESS, objects);
  for (const PI::CEvent& event : events) {
    ++m_State.eventCounts[event.m_Code];
    ++m_EventTotal;
    m_Events.push_back(event);
    if (m_Events.size() > kKeptEvents) m_Events.pop_front();
  }
}

double FleetView::PollSeconds(double fallback) const {
  for (const PI::CObject& object : m_State.objects) {
    if (object.m_Type != PI::TYPE_PLUGIN) continue;
    const PI::CProperty* poll = FindProperty(object, PI::PROP_POLL_INTERVAL);
    if (poll != nullptr && poll->m_ValueType == PI::CProperty::VALUE_BOUNDED && poll->m_Int > 0)
      return poll->m_Int;
  }
  return fallback;
}

std::string FleetView::ObjectLabel(uint64_t id) const {
  if (id == PI::TYPE_SYSTEM) return "system";
  auto found = m_Names.find(id);
  return found != m_Names.end() ? found->second : std::to_string(id);
}

std::shared_ptr<const Pages> FleetView::Render() const {
  auto pages = std::make_shared<Pages>();
  pages->metrics = RenderMetrics(m_State);

  Answer topology("topology", true);
  topology.Result(m_TopologyResult);
  topology.Objects(m_State.objects);
  if (!m_State.lastError.empty()) topology.Field("error", m_State.lastError);
  pages->topology = topology.Render();

  // The answer of "exec plugin 50002", holding the events kept so far; "sequence" counts every
  // event ever handed over, so a reader can tell which ones it has not seen yet.
  Answer events("exec", true);
  uint64_t pluginId = 0;
  for (const PI::CObject& object : m_State.objects) {
    if (object.m_Type == PI::TYPE_PLUGIN) pluginId = object.m_ID;
  }
  events.Id("object", pluginId);
  events.FieldUnsigned("operation", PI::OP_GET_EVENTS);
  events.Result(m_CollectResult);
  events.Events(std::vector<PI::CEvent>(m_Events.begin(), m_Events.end()),
                [this](uint64_t id) { return ObjectLabel(id); });
  events.FieldUnsigned("sequence", m_EventTotal);
  pages->events = events.Render();
  return pages;
}

}  // namespace host_shell
