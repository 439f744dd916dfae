// The plug-in's own host object: its properties, its one operation (which hands the pending
// events to the host) and the one setting the host may change, the poll interval.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

constexpr uint32_t kOperationGetEvents = PI::OP_GET_EVENTS;
constexpr PI::_OPERATION_DESCRIPTION kPluginOperation = {
    kOperationGetEvents, 6, 1, 1, 1, 0, 0, 1, 1};
constexpr PI::_PROPERTY_ID kPropertyPollInterval = PI::PROP_POLL_INTERVAL;

}  // namespace

uint32_t IPLUGINAPI_IMPL::GetPluginProperties(CVedidEVUPlugin& /*plugin*/,
                                              std::vector<PI::CProperty>& properties,
                                              uint32_t filter) {
  properties.clear();
  auto wanted = [filter](PI::_PROPERTY_ID id) { return filter == PI::PROP_ALL || filter == id; };
  // The fixed texts: property, value, display code.
  struct TextRow {
    PI::_PROPERTY_ID id;
    const char* value;
    uint32_t displayCode;
  };
  static constexpr TextRow kTexts[] = {
      {PI::PROP_NAME, kPluginName, 23335},
      {PI::PROP_VERSION, kPluginVersion, 23340},
      {PI::PROP_VENDOR, kPluginVendor, 23339},
  };

  if (wanted(PI::PROP_ADDRESS)) {
    PI::CProperty property(PI::PROP_ADDRESS, false);
    property.SetValue(Fmt("Plugin:ID=%d", kModuleNumber));
    property.m_Position = 0;
    properties.push_back(property);
  }
  for (const TextRow& row : kTexts) {
    if (!wanted(row.id)) continue;
    PI::CProperty property(row.id, false);
    property.SetValue(row.value);
    property.m_DisplayCode = row.displayCode;
    properties.push_back(property);
  }
  if (wanted(PI::PROP_TOOL_VERSION) && !m_ToolVersion.empty()) {
    PI::CProperty property(PI::PROP_TOOL_VERSION, false);
    property.SetValue(m_ToolVersion);
    property.SetNlsID(PI::PROP_VERSION);
    property.m_DisplayCode = 23340;
    properties.push_back(property);
  }
  if (wanted(kPropertyPollInterval)) {
    PI::CProperty property(kPropertyPollInterval, true);
    property.SetValue(static_cast<int32_t>(m_PollInterval.load()), kPollMin, kPollMax, 1);
    property.SetUnits(PI::UNIT_SECONDS);
    property.m_DisplayCode = 23336;
    properties.push_back(property);
  }
  return 0;
}

uint32_t IPLUGINAPI_IMPL::GetPluginOperations(CVedidEVUPlugin& /*plugin*/,
                                              std::vector<PI::COperation>& operations) {
  operations.clear();
  operations.emplace_back(kPluginOperation);
  return 0;
}

uint32_t IPLUGINAPI_IMPL::CheckPluginOperation(CVedidEVUPlugin& /*plugin*/,
                                               PI::COperation& /*operation*/) {
  return 0;
}

uint32_t IPLUGINAPI_IMPL::ExecutePluginOperation(CVedidEVUPlugin& plugin,
                                                 PI::COperation& operation) {
  VTRACE(TL_ENTRY, "ENTER ExecutePluginOperation()");
  const uint32_t result = operation.GetID() == kOperationGetEvents
                              ? GetEvents(plugin, operation)
                              : PI::ERR_OPERATION_NOT_EXECUTABLE;
  (void)m_Database.UpdateObjectInDatabase(m_Plugin, Settings());
  VTRACE(TL_ENTRY, "LEAVE ExecutePluginOperation() -> %d", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::SetPluginProperty(CVedidEVUPlugin& plugin, PI::CProperty& property) {
  if (property.m_ID != kPropertyPollInterval) return PI::ERR_PROPERTY_NOT_SETTABLE;
  // A property that carries no bounded value leaves the interval as it is.
  int32_t value = static_cast<int32_t>(m_PollInterval.load());
  int32_t minimum = kPollMin, maximum = kPollMax, step = 1;
  property.GetValue(value, minimum, maximum, step);
  if (value < minimum) value = minimum;
  if (value > maximum) value = maximum;

  m_PollInterval = static_cast<uint32_t>(value);
  plugin.IncrementChangeCount();
  const uint32_t written = m_Config.WriteKeyValue("PollInterval", Fmt("%d", value), -1, -1);
  m_PrivateEvent.Set();
  return written;
}

}  // namespace NAMESPACE_Varnock
