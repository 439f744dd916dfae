#include "PluginHost.h"

#include <cstdio>

#include "Notifier.h"
#include "Options.h"
#include "Platform.h"

namespace host_shell {

PluginHost::~PluginHost() {
  Shutdown();
  if (m_Library != nullptr) KVL::Platform::UnloadModule(m_Library);
}

bool PluginHost::Load(const std::string& path, std::string& error) {
  std::string reason;
  m_Library = KVL::Platform::LoadModule(path, reason);
  if (m_Library == nullptr) {
    error = "cannot load " + path + ": " + reason;
    return false;
  }
  m_CreateIf = reinterpret_cast<CreateIfFn>(KVL::Platform::ModuleSymbol(m_Library, "createIf"));
  m_ReleaseIf = reinterpret_cast<ReleaseIfFn>(KVL::Platform::ModuleSymbol(m_Library, "releaseIf"));
  if (m_CreateIf == nullptr || m_ReleaseIf == nullptr) {
    error = path + " does not export createIf and releaseIf";
    KVL::Platform::UnloadModule(m_Library);
    m_Library = nullptr;
    return false;
  }
  return true;
}

uint32_t PluginHost::Create() {
  uint32_t result = m_CreateIf(&m_Plugin);
  if (m_Plugin != nullptr) {
    m_Plugin->m_CallbackContext = reinterpret_cast<uint64_t>(&m_Notifier);
    m_Plugin->m_Callback = &PluginHost::OnNotify;
  }
  m_Initialized = false;
  return result;
}

void PluginHost::Release() {
  if (m_ReleaseIf != nullptr) m_ReleaseIf(&m_Plugin);
  m_Initialized = false;
}

void PluginHost::Shutdown() {
  if (m_Plugin == nullptr) return;
  if (m_Initialized) Request(REQ_DEINITIALIZE, 0, nullptr);
  Release();
}

uint32_t PluginHost::Request(int32_t code, uint64_t objectId, void* data) {
  // The plug-in may print to standard output (Initialize does); flush ours first so the lines
  // keep their order and stay whole.
  std::fflush(stdout);
  uint32_t result = m_Plugin->Request(code, objectId, data);
  std::fflush(stdout);
  if (code == REQ_INITIALIZE && result == PI::ERR_SUCCESS) m_Initialized = true;
  if (code == REQ_DEINITIALIZE) m_Initialized = false;
  return result;
}

uint32_t PluginHost::Topology(std::vector<PI::CObject>& objects) {
  objects.clear();
  return Request(REQ_GET_TOPOLOGY, 0, &objects);
}

bool PluginHost::Resolve(const std::string& name, uint64_t& id, std::string& error) {
  if (ParseUInt64(name, id)) return true;
  std::string serial;
  uint32_t type = 0;
  if (name == "plugin") {
    type = PI::TYPE_PLUGIN;
  } else if (name.compare(0, 8, "adapter:") == 0) {
    type = PI::TYPE_ADAPTER;
    serial = name.substr(8);
  } else if (name.compare(0, 6, "drive:") == 0) {
    type = PI::TYPE_PHYSICAL_DRIVE;
    serial = name.substr(6);
  } else {
    error = "bad object \"" + name + "\" (use plugin, adapter:SERIAL, drive:SERIAL or a number)";
    return false;
  }
  std::vector<PI::CObject> objects;
  uint32_t result = Topology(objects);
  if (result != PI::ERR_SUCCESS) {
    error = "cannot look up \"" + name + "\": topology request failed with " +
            std::to_string(result);
    return false;
  }
  // The topology starts with the plug-in object, typed or not (Initialize gives it its type).
  if (type == PI::TYPE_PLUGIN && !objects.empty()) {
    id = objects.front().m_ID;
    return true;
  }
  for (const PI::CObject& object : objects) {
    if (object.m_Type != type) continue;
    const PI::CProperty* property = FindProperty(object, PI::PROP_SERIAL_NUMBER);
    if (property != nullptr && property->m_ValueType == PI::CProperty::VALUE_TEXT &&
        property->m_Text == serial) {
      id = object.m_ID;
      return true;
    }
  }
  error = "no object \"" + name + "\" in the topology";
  return false;
}

void PluginHost::OnNotify(uint64_t context, IPLUGINAPI*) {
  reinterpret_cast<Notifier*>(context)->Notify();
}

const PI::CProperty* FindProperty(const PI::CObject& object, uint32_t id) {
  for (const PI::CProperty& property : object.m_Properties) {
    if (property.m_ID == id) return &property;
  }
  return nullptr;
}

std::string ObjectName(const PI::CObject& object) {
  if (object.m_Type == PI::TYPE_PLUGIN) return "plugin";
  const PI::CProperty* serial = FindProperty(object, PI::PROP_SERIAL_NUMBER);
  if (serial != nullptr && serial->m_ValueType == PI::CProperty::VALUE_TEXT &&
      !serial->m_Text.empty()) {
    if (object.m_Type == PI::TYPE_ADAPTER) return "adapter:" + serial->m_Text;
    if (object.m_Type == PI::TYPE_PHYSICAL_DRIVE) return "drive:" + serial->m_Text;
  }
  return std::to_string(object.m_ID);
}

}  // namespace host_shell
