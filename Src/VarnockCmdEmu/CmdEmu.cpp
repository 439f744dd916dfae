// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
uint32_t IPLUGINAPI_IMPL::GetAdaptersInfo() { m_AdapterInfos.clear(); return 20003; }
uint32_t IPLUGINAPI_IMPL::GetLogPage(uint32_t, uint32_t, rapidjson::Document&) { return 20003; }
uint32_t IPLUGINAPI_IMPL::GetLogPageInformation(uint32_t, HealthInfo&) { return 20003; }
void IPLUGINAPI_IMPL::GetVersion(std::string& v) { v.clear(); }
}  // namespace NAMESPACE_Varnock
