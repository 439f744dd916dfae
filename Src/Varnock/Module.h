// Module-wide objects of the plug-in (language file, module information), its identity and the
// bounds of its settings, and what every source file shares: tracing with the module's level
// mask and printf-style text formatting. Constants and thread-safe functions only.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "KVL.h"

namespace NAMESPACE_Varnock {

constexpr uint32_t kModuleNumber = 309;
constexpr const char* kLoopbackHost = "localhost";

// The plug-in as the host knows it: module name and version words, the plug-in object's name,
// version and vendor, and the bounds and defaults of its settings.
constexpr const char* kModuleName = "Varnock";
constexpr const char* kModuleVersion = "P:7.20.0 F:7.20.0";
constexpr const char* kPluginName = "VedidEVU-Plugin";
constexpr const char* kPluginVersion = "7.20.0";
constexpr const char* kPluginVendor = "Intel, Inc.";
constexpr int32_t kPollMin = 2;              // seconds
constexpr int32_t kPollMax = 255;            // seconds
constexpr uint32_t kPollDefault = 30;        // seconds
constexpr uint64_t kRefreshDefault = 30000;  // milliseconds between full passes

// Trace levels.
constexpr uint32_t TL_ENTRY = 2;
constexpr uint32_t TL_WORKER = 4;
constexpr uint32_t TL_LOCK = 8;
constexpr uint32_t TL_VALUE = 16;
constexpr uint32_t TL_DB = 128;

extern const KVL::Language_Support::CLanguageSupport::CLngFile g_LanguageFile;
extern const KVL::Misc::CModuleInfo g_ModuleInfo;

namespace FmtDetail {
// Copies `format` into `out` up to its next conversion ("%%" as "%") and moves past it; `flags`
// gets the conversion's flags and width ("02" of "%02d"). False when no conversion is left.
bool NextConversion(std::string& out, const char*& format, std::string& flags);
// One argument in the place of its conversion: a text whole, a number in decimal with the
// conversion's flags and width, whatever its letter (%d or %s).
void Append(std::string& out, const std::string& flags, const std::string& text);
void Append(std::string& out, const std::string& flags, const char* text);
void Append(std::string& out, const std::string& flags, long long number);
void Append(std::string& out, const std::string& flags, unsigned long long number);
template <typename T>
void Append(std::string& out, const std::string& flags, const T& number) {
  static_assert(std::is_integral_v<T>, "Fmt takes texts and integers");
  if constexpr (std::is_signed_v<T>)
    Append(out, flags, static_cast<long long>(number));
  else
    Append(out, flags, static_cast<unsigned long long>(number));
}
}  // namespace FmtDetail

// printf-style formatting of a text ("%d", "%s", "%02d" ...): each argument takes the place of
// the next conversion, a number in decimal and a text as it is. A pass formats texts for every
// drive, so this writes into one string rather than through a stream.
template <typename... Args>
std::string Fmt(const char* format, const Args&... args) {
  std::string out;
  std::string flags;
  (void)std::initializer_list<int>{
      (FmtDetail::NextConversion(out, format, flags) ? FmtDetail::Append(out, flags, args) : void(),
       0)...};
  while (FmtDetail::NextConversion(out, format, flags)) {
  }  // conversions without an argument are dropped
  return out;
}

}  // namespace NAMESPACE_Varnock

// Trace record of this module; each source file defines VARNOCK_SOURCE ("Src/VarnockPlugin" ...).
#define VTRACE(level, ...) \
  KVL_TRACE(::NAMESPACE_Varnock::g_ModuleInfo, (level), VARNOCK_SOURCE, __VA_ARGS__)

// Trace record under the given function name ("NAMESPACE_Varnock::IPLUGINAPI_IMPL::ScanSystem"):
// the modules behind the plug-in object trace under the name of the request step they serve.
#define VTRACE_AS(function, level, ...)                                                    \
  do {                                                                                     \
    if (::NAMESPACE_Varnock::g_ModuleInfo.TraceEnabled(level))                             \
      ::KVL::Internals::Trace((level), ::NAMESPACE_Varnock::g_ModuleInfo, VARNOCK_SOURCE, \
                              (function), __LINE__, __VA_ARGS__);                          \
  } while (0)

// Takes m_DataLock for the rest of the enclosing scope, with the lock traces.
#define VARNOCK_LOCK_DATA(guard)                                \
  VTRACE(::NAMESPACE_Varnock::TL_LOCK, "Before m_DataLock.Wait (sg)"); \
  ::KVL::Threading::CSyncGuard guard;                           \
  m_DataLock.Wait(&guard, ::KVL::INFINITE);                     \
  VTRACE(::NAMESPACE_Varnock::TL_LOCK, "After m_DataLock.Wait (sg)")

// The same, with the lock traces under the given function name.
#define VARNOCK_LOCK_DATA_AS(function, guard)                                         \
  VTRACE_AS((function), ::NAMESPACE_Varnock::TL_LOCK, "Before m_DataLock.Wait (sg)"); \
  ::KVL::Threading::CSyncGuard guard;                                                 \
  m_DataLock.Wait(&guard, ::KVL::INFINITE);                                           \
  VTRACE_AS((function), ::NAMESPACE_Varnock::TL_LOCK, "After m_DataLock.Wait (sg)")
