// The plug-in as the host holds it: the loaded library, its two exports, the one plug-in object
// and the request operation, plus the look-ups the shell needs (topology, object names). Used
// from the shell's main thread only; the plug-in's own threads reach the shell only through the
// notification callback, which touches nothing but the Notifier.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IPLUGINAPI.h"
#include "PI.h"

namespace host_shell {

class Notifier;

class PluginHost {
 public:
  explicit PluginHost(Notifier& notifier) : m_Notifier(notifier) {}
  // Shuts down a plug-in still running (Shutdown), then unloads the library.
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Loads the library and finds createIf and releaseIf. False with a message on failure.
  bool Load(const std::string& path, std::string& error);

  // createIf; on success installs the notification callback. The plug-in object belongs to the
  // plug-in until Release hands it back.
  uint32_t Create();
  // releaseIf (also when nothing is created: the plug-in ignores a null object).
  void Release();
  bool Created() const { return m_Plugin != nullptr; }
  // The plug-in object while created, else null; owned by the plug-in.
  const IPLUGINAPI* Plugin() const { return m_Plugin; }
  // True between a successful Initialize (REQ_INITIALIZE) and DeInitialize (REQ_DEINITIALIZE).
  bool Initialized() const { return m_Initialized; }
  // What a host does when it stops: DeInitialize when initialized, then release.
  void Shutdown();

  // The request operation; requires Created().
  uint32_t Request(int32_t code, uint64_t objectId, void* data);

  // REQ_GET_TOPOLOGY into `objects` (replaced).
  uint32_t Topology(std::vector<PI::CObject>& objects);
  // The identifier of "plugin", "adapter:SERIAL", "drive:SERIAL" or a number (decimal or 0x),
  // looking names up in a fresh topology. False with a message when there is no such object.
  bool Resolve(const std::string& name, uint64_t& id, std::string& error);

 private:
  static void OnNotify(uint64_t context, IPLUGINAPI* plugin);

  Notifier& m_Notifier;
  void* m_Library = nullptr;
  CreateIfFn m_CreateIf = nullptr;
  ReleaseIfFn m_ReleaseIf = nullptr;
  IPLUGINAPI* m_Plugin = nullptr;
  bool m_Initialized = false;
};

// The property with this ID in the object's list, or null.
const PI::CProperty* FindProperty(const PI::CObject& object, uint32_t id);
// "plugin", "adapter:SERIAL", "drive:SERIAL", or the decimal identifier when the object has no
// serial number.
std::string ObjectName(const PI::CObject& object);

}  // namespace host_shell
