// The interface between the host and a plug-in module: the plug-in object the host drives
// through one request operation, and the two functions the module exports. The host may call
// the request operation from several threads; the plug-in guards its own state.
#pragma once

#include <cstdint>

#include "HostCodes.h"

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
