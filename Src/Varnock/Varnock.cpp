// The module's exports, its module-wide objects and text formatting, the request operation and
// the routing of per-object requests.
#define VARNOCK_SOURCE "Src/Varnock"

#include <cstdio>
#include <cstring>
#include <new>

#include "Module.h"
#include "VarnockPlugin.h"

#define VARNOCK_EXPORT extern "C" __attribute__((visibility("default")))

namespace NAMESPACE_Varnock {

const KVL::Language_Support::CLanguageSupport::CLngFile g_LanguageFile(
    "Varnock.nls", 0x656E, "utf-8", 1,
    {"General error in Varnock plugin", "No information available for this error"});

const KVL::Misc::CModuleInfo g_ModuleInfo(kModuleNumber, kModuleName, kModuleVersion,
                                          &g_LanguageFile, {0x21350001});

namespace {

template <typename T>
std::vector<T>& ListAt(void* data) {
  return *static_cast<std::vector<T>*>(data);
}

template <typename T>
T& ItemAt(void* data) {
  return *static_cast<T*>(data);
}

// A failed list request never hands back a partial list; the storage is kept.
template <typename T>
uint32_t EmptyOnFailure(uint32_t result, void* data) {
  if (result != 0) ListAt<T>(data).clear();
  return result;
}

}  // namespace

uint32_t IPLUGINAPI_IMPL::Request(int32_t code, uint64_t objectId, void* data) {
  if (code < REQ_INITIALIZE || code > REQ_EXECUTE_OPERATION) return PI::ERR_FUNCTION_OUT_OF_RANGE;
  // Every code but DeInitialize works on an argument; without one there is nothing to serve.
  if (data == nullptr && code != REQ_DEINITIALIZE) return PI::ERR_FUNCTION_OUT_OF_RANGE;
  switch (code) {
    case REQ_INITIALIZE:
      return EmptyOnFailure<PI::CAdapterID>(Initialize(ListAt<PI::CAdapterID>(data)), data);
    case REQ_SET_ADAPTER_IDS:
      return SetAdapterIDs(ListAt<PI::CAdapterID>(data));
    case REQ_DEINITIALIZE:
      return DeInitialize();
    case REQ_GET_TOPOLOGY:
      return EmptyOnFailure<PI::CObject>(GetTopology(ListAt<PI::CObject>(data)), data);
    case REQ_GET_PROPERTIES:
      return EmptyOnFailure<PI::CProperty>(
          GetProperties(objectId, ListAt<PI::CProperty>(data)), data);
    case REQ_GET_PROPERTY:
      return GetProperty(objectId, ItemAt<PI::CProperty>(data));
    case REQ_SET_PROPERTY:
      return SetProperty(objectId, ItemAt<PI::CProperty>(data));
    case REQ_GET_OPERATIONS:
      return EmptyOnFailure<PI::COperation>(
          GetOperations(objectId, ListAt<PI::COperation>(data)), data);
    case REQ_CHECK_OPERATION:
      return CheckOperation(objectId, ItemAt<PI::COperation>(data));
    default:
      return ExecuteOperation(objectId, ItemAt<PI::COperation>(data));
  }
}

IPLUGINAPI_IMPL::Target IPLUGINAPI_IMPL::FindTarget(uint64_t id, const char* caller,
                                                    const char* adapterTrace,
                                                    const char* driveTrace) {
  if (id == m_Plugin.GetID()) return Target{&m_Plugin, nullptr, nullptr};
  if (adapterTrace != nullptr && g_ModuleInfo.TraceEnabled(TL_WORKER))
    KVL::Internals::Trace(TL_WORKER, g_ModuleInfo, VARNOCK_SOURCE, caller, __LINE__, adapterTrace,
                          m_Adapters.size());
  for (CVedidEVUAdapter& adapter : m_Adapters)
    if (adapter.GetID() == id) return Target{nullptr, &adapter, nullptr};
  if (driveTrace != nullptr && g_ModuleInfo.TraceEnabled(TL_WORKER))
    KVL::Internals::Trace(TL_WORKER, g_ModuleInfo, VARNOCK_SOURCE, caller, __LINE__, driveTrace,
                          m_PhysicalDrives.size());
  for (CVedidEVUPhysicalDrive& drive : m_PhysicalDrives)
    if (drive.GetID() == id) return Target{nullptr, nullptr, &drive};
  return Target{};
}

uint32_t IPLUGINAPI_IMPL::GetProperties(uint64_t id, std::vector<PI::CProperty>& properties) {
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, "GetProperties() Adapter = %d",
                                   "GetProperties() PhysicalDrives = %d");
  if (target.plugin) return GetPluginProperties(*target.plugin, properties, PI::PROP_ALL);
  if (target.adapter) return GetAdapterProperties(*target.adapter, properties, PI::PROP_ALL);
  if (target.drive) return GetPhysicalDriveProperties(*target.drive, properties, PI::PROP_ALL);
  return PI::ERR_NO_OBJECT;
}

uint32_t IPLUGINAPI_IMPL::GetProperty(uint64_t id, PI::CProperty& property) {
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, "GetProperty() Adapter = %d",
                                   "GetProperty() PhysicalDrives = %d");
  std::vector<PI::CProperty> found;
  uint32_t result;
  if (target.plugin) {
    result = GetPluginProperties(*target.plugin, found, property.m_ID);
    target.plugin->IncrementChangeCount();
  } else if (target.adapter) {
    result = GetAdapterProperties(*target.adapter, found, property.m_ID);
    target.adapter->IncrementChangeCount();
  } else if (target.drive) {
    result = GetPhysicalDriveProperties(*target.drive, found, property.m_ID);
    target.drive->IncrementChangeCount();
  } else {
    return PI::ERR_NO_OBJECT;
  }
  if (result != 0) return result;
  if (found.empty()) return PI::ERR_NO_PROPERTY_FOUND;
  property = found.front();
  return 0;
}

uint32_t IPLUGINAPI_IMPL::SetProperty(uint64_t id, PI::CProperty& property) {
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, nullptr, nullptr);
  if (target.plugin) return SetPluginProperty(*target.plugin, property);
  if (target.adapter) return SetAdapterProperty(*target.adapter, property);
  if (target.drive) return SetPhysicalDriveProperty(*target.drive, property);
  return PI::ERR_NO_OBJECT;
}

uint32_t IPLUGINAPI_IMPL::GetOperations(uint64_t id, std::vector<PI::COperation>& operations) {
  VTRACE(TL_VALUE, "ENTER GetOperations object=0x%x", id);
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, nullptr, nullptr);
  uint32_t result = PI::ERR_NO_OBJECT;
  if (target.plugin) result = GetPluginOperations(*target.plugin, operations);
  if (target.adapter) result = GetAdapterOperations(*target.adapter, operations);
  if (target.drive) result = GetPhysicalDriveOperations(*target.drive, operations);
  VTRACE(TL_VALUE, "ENTER GetOperations ret=%d", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::CheckOperation(uint64_t id, PI::COperation& operation) {
  VTRACE(TL_LOCK, "ENTER CheckOperation operation=%d", operation.GetID());
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, nullptr, nullptr);
  uint32_t result = PI::ERR_NO_OBJECT;
  if (target.plugin) result = CheckPluginOperation(*target.plugin, operation);
  if (target.adapter) result = CheckAdapterOperation(*target.adapter, operation);
  if (target.drive) result = CheckPhysicalDriveOperation(*target.drive, operation);
  VTRACE(TL_LOCK, "LEAVE CheckOperation(%d)", result);
  return result;
}

uint32_t IPLUGINAPI_IMPL::ExecuteOperation(uint64_t id, PI::COperation& operation) {
  VARNOCK_LOCK_DATA(guard);
  const Target target = FindTarget(id, __PRETTY_FUNCTION__, nullptr, nullptr);
  if (target.plugin) return ExecutePluginOperation(*target.plugin, operation);
  if (target.adapter) return ExecuteAdapterOperation(*target.adapter, operation);
  if (target.drive) return ExecutePhysicalDriveOperation(*target.drive, operation);
  return PI::ERR_NO_OBJECT;
}

namespace FmtDetail {

bool NextConversion(std::string& out, const char*& format, std::string& flags) {
  while (*format != '\0') {
    if (*format != '%') {
      out += *format++;
      continue;
    }
    if (format[1] == '%') {
      out += '%';
      format += 2;
      continue;
    }
    ++format;
    flags.clear();
    while (*format != '\0' && std::strchr("-+ #0123456789", *format) != nullptr) flags += *format++;
    if (*format != '\0') ++format;  // the conversion's letter
    return true;
  }
  return false;
}

void Append(std::string& out, const std::string&, const std::string& text) { out += text; }
void Append(std::string& out, const std::string&, const char* text) {
  if (text != nullptr) out += text;
}

namespace {
template <typename T>
void AppendDecimal(std::string& out, const std::string& flags, const char* length, T number) {
  const std::string format = "%" + flags + length;
  char text[64];
  const int written = std::snprintf(text, sizeof text, format.c_str(), number);
  if (written > 0 && static_cast<size_t>(written) < sizeof text) {
    out.append(text, static_cast<size_t>(written));
  } else if (written > 0) {  // a width beyond the buffer
    std::string wide(static_cast<size_t>(written) + 1, '\0');
    std::snprintf(wide.data(), wide.size(), format.c_str(), number);
    out.append(wide.data(), static_cast<size_t>(written));
  }
}
}  // namespace

void Append(std::string& out, const std::string& flags, long long number) {
  AppendDecimal(out, flags, "lld", number);
}
void Append(std::string& out, const std::string& flags, unsigned long long number) {
  AppendDecimal(out, flags, "llu", number);
}

}  // namespace FmtDetail

}  // namespace NAMESPACE_Varnock

using NAMESPACE_Varnock::IPLUGINAPI_IMPL;

VARNOCK_EXPORT uint32_t createIf(IPLUGINAPI** plugin) {
  IPLUGINAPI_IMPL* created = new (std::nothrow) IPLUGINAPI_IMPL();
  if (created == nullptr) {
    *plugin = nullptr;
    return PI::ERR_OUT_OF_MEMORY;
  }
  created->m_ModuleWord = NAMESPACE_Varnock::g_ModuleInfo.Word();
  *plugin = created;
  return 0;
}

VARNOCK_EXPORT void releaseIf(IPLUGINAPI** plugin) {
  if (plugin == nullptr || *plugin == nullptr) return;
  delete *plugin;
  *plugin = nullptr;
}
