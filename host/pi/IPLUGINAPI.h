// The interface between the host and a plug-in module: the plug-in object the host drives
// through one request operation, and the two functions the module exports. The host may call
// the request operation from several threads; the plug-in guards its own state.
#pragma once

#include <cstdint>

// Function codes of the request operation and the type its data pointer points to.
enum : int32_t {
  REQ_INITIALIZE = 1,        // std::vector<PI::CAdapterID> (output)
  REQ_SET_ADAPTER_IDS = 2,   // std::vector<PI::CAdapterID> (input)
  REQ_DEINITIALIZE = 3,      // nothing
  REQ_GET_TOPOLOGY = 4,      // std::vector<PI::CObject> (output)
  REQ_GET_PROPERTIES = 5,    // std::vector<PI::CProperty> (output)
  REQ_GET_PROPERTY = 6,      // PI::CProperty (in: ID; out: the property)
  REQ_SET_PROPERTY = 7,      // PI::CProperty (input)
  REQ_GET_OPERATIONS = 8,    // std::vector<PI::COperation> (output)
  REQ_CHECK_OPERATION = 9,   // PI::COperation
  REQ_EXECUTE_OPERATION = 10 // PI::COperation (in/out)
};

class IPLUGINAPI {
 public:
  // The host's notification callback: context value and the plug-in.
  typedef void (*NotifyCallback)(uint64_t context, IPLUGINAPI* plugin);

  IPLUGINAPI() = default;
  IPLUGINAPI(const IPLUGINAPI&) = delete;
  IPLUGINAPI& operator=(const IPLUGINAPI&) = delete;

  // Runs request `code` on the object `objectId` with the code's argument at `data`.
  virtual uint32_t Request(int32_t code, uint64_t objectId, void* data) = 0;
  virtual ~IPLUGINAPI() = default;

  uint32_t m_InterfaceWord = 2;
  uint32_t m_ModuleWord = 0;         // set by createIf from the module information
  uint64_t m_CallbackContext = 0;    // written by the host only
  NotifyCallback m_Callback = nullptr;  // written by the host only
};

// createIf builds the plug-in object; the caller owns it and returns it with releaseIf.
typedef uint32_t (*CreateIfFn)(IPLUGINAPI** plugin);
typedef void (*ReleaseIfFn)(IPLUGINAPI** plugin);
