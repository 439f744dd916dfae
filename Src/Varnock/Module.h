// Module-wide objects of the plug-in (language file, module information) and the helpers every
// source file shares: tracing with the module's level mask and printf-style text formatting.
#pragma once

#include <cstdint>
#include <string>

#include <boost/format.hpp>

#include "KVL.h"

namespace NAMESPACE_Varnock {

constexpr uint32_t kModuleNumber = 309;
constexpr uint32_t kTypePlugin = 19006;
constexpr uint32_t kTypeAdapter = 19038;
constexpr uint32_t kTypePhysicalDrive = 19018;
constexpr const char* kLoopbackHost = "localhost";

// Trace levels.
constexpr uint32_t TL_ENTRY = 2;
constexpr uint32_t TL_WORKER = 4;
constexpr uint32_t TL_LOCK = 8;
constexpr uint32_t TL_VALUE = 16;
constexpr uint32_t TL_DB = 128;

extern const KVL::Language_Support::CLanguageSupport::CLngFile g_LanguageFile;
extern const KVL::Misc::CModuleInfo g_ModuleInfo;

// printf-style formatting of a text ("%d", "%s", "%02d" ...).
template <typename... Args>
std::string Fmt(const char* format, const Args&... args) {
  boost::format f(format);
  (void)std::initializer_list<int>{(f % args, 0)...};
  return f.str();
}

}  // namespace NAMESPACE_Varnock

// Trace record of this module; each source file defines VARNOCK_SOURCE ("Src/VarnockPlugin" ...).
#define VTRACE(level, ...) \
  KVL_TRACE(::NAMESPACE_Varnock::g_ModuleInfo, (level), VARNOCK_SOURCE, __VA_ARGS__)

// Takes m_DataLock for the rest of the enclosing scope, with the lock traces.
#define VARNOCK_LOCK_DATA(guard)                                \
  VTRACE(::NAMESPACE_Varnock::TL_LOCK, "Before m_DataLock.Wait (sg)"); \
  ::KVL::Threading::CSyncGuard guard;                           \
  m_DataLock.Wait(&guard, ::KVL::INFINITE);                     \
  VTRACE(::NAMESPACE_Varnock::TL_LOCK, "After m_DataLock.Wait (sg)")
