// Construction and destruction of the plug-in object, its settings and object identifiers.
#define VARNOCK_SOURCE "Src/VarnockPlugin"

#include <algorithm>
#include <cctype>

#include <boost/convert.hpp>
#include <boost/convert/stream.hpp>
#include <boost/optional.hpp>

#include "Database.h"
#include "Module.h"
#include "VarnockPlugin.h"

namespace NAMESPACE_Varnock {

namespace {

// The number when the whole text is an unsigned decimal number (leading blanks allowed, nothing
// may follow); none otherwise.
template <typename T>
boost::optional<T> WholeDecimal(const std::string& text) {
  size_t first = 0;
  while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  // The stream would take a sign (and wrap a negative number into an unsigned one).
  if (first == text.size() || !std::isdigit(static_cast<unsigned char>(text[first])))
    return boost::none;
  boost::cnv::cstream converter;
  converter(std::dec)(std::skipws);
  return boost::convert<T>(text, converter);
}

// The key's value from a configuration file when it reads as a whole decimal number.
template <typename T>
boost::optional<T> ReadNumber(const PI::CConfigFile& file, const char* key) {
  std::string text;
  if (file.ReadKeyValue(key, text, -1, -1) != 0) return boost::none;
  return WholeDecimal<T>(text);
}

}  // namespace

IPLUGINAPI_IMPL::IPLUGINAPI_IMPL()
    : m_PollInterval(kPollDefault),
      m_TopologyRefreshRate(kRefreshDefault),
      m_Database(getDatabasePointer()) {
  m_Config.SetFileName("Varnock.ini");
  const uint32_t poll = ReadNumber<uint32_t>(m_Config, "PollInterval").value_or(kPollDefault);
  m_PollInterval = std::clamp<uint32_t>(poll, kPollMin, kPollMax);

  m_CustomOpts.SetFileName("CustomOpts.ini");
  m_TopologyRefreshRate =
      ReadNumber<uint64_t>(m_CustomOpts, "IntelPCIeTopologyRefreshRate").value_or(kRefreshDefault);
}

IPLUGINAPI_IMPL::~IPLUGINAPI_IMPL() {
  m_WorkerThread.reset();
  m_Database.Release();
}

PluginSettings IPLUGINAPI_IMPL::Settings() const {
  return PluginSettings{m_ToolVersion, m_PollInterval.load()};
}

uint64_t IPLUGINAPI_IMPL::NextObjectID() {
  constexpr uint64_t kSequenceMask = (1ULL << 48) - 1;
  return (static_cast<uint64_t>(kModuleNumber) << 48) | (m_NextObjectNumber++ & kSequenceMask);
}

void IPLUGINAPI_IMPL::NotifyHost() {
  // The host may not have set its callback yet; then there is nobody to tell.
  if (m_Callback != nullptr) m_Callback(m_CallbackContext, this);
}

void IPLUGINAPI_IMPL::ClearMarks() {
  m_Plugin.m_Mark = false;
  for (CVedidEVUAdapter& adapter : m_Adapters) adapter.m_Mark = false;
  for (CVedidEVUPhysicalDrive& drive : m_PhysicalDrives) drive.m_Mark = false;
}

}  // namespace NAMESPACE_Varnock
