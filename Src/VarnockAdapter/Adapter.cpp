// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
bool CVedidEVUAdapter::operator==(const CVedidEVUAdapter& o) const { return PI::CObject::operator==(o); }
bool IsSupportedModel(const std::string&) { return false; }
std::string ModelText(const std::string& m) { return m; }
uint32_t IPLUGINAPI_IMPL::GetAdapterProperties(CVedidEVUAdapter&, std::vector<PI::CProperty>& p, uint32_t) { p.clear(); return 0; }
uint32_t IPLUGINAPI_IMPL::GetAdapterOperations(CVedidEVUAdapter&, std::vector<PI::COperation>& o) { o.clear(); return 0; }
uint32_t IPLUGINAPI_IMPL::CheckAdapterOperation(CVedidEVUAdapter&, PI::COperation&) { return 0; }
uint32_t IPLUGINAPI_IMPL::ExecuteAdapterOperation(CVedidEVUAdapter&, PI::COperation&) { return 0; }
uint32_t IPLUGINAPI_IMPL::SetAdapterProperty(CVedidEVUAdapter&, PI::CProperty&) { return 20004; }
}  // namespace NAMESPACE_Varnock
