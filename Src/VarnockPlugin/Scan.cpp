// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
uint32_t IPLUGINAPI_IMPL::ScanSystem(std::vector<CVedidEVUAdapter>& a, std::vector<CVedidEVUPhysicalDrive>& d, bool) { a.clear(); d.clear(); return 0; }
std::string IPLUGINAPI_IMPL::ModelName(uint64_t, uint64_t) { return "Intel PCIe Device Adapter"; }
}  // namespace NAMESPACE_Varnock
