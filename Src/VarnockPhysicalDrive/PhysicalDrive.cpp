// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
bool CVedidEVUPhysicalDrive::operator==(const CVedidEVUPhysicalDrive& o) const { return PI::CObject::operator==(o); }
uint32_t IPLUGINAPI_IMPL::GetPhysicalDriveProperties(CVedidEVUPhysicalDrive&, std::vector<PI::CProperty>& p, uint32_t) { p.clear(); return 0; }
uint32_t IPLUGINAPI_IMPL::GetPhysicalDriveOperations(CVedidEVUPhysicalDrive&, std::vector<PI::COperation>& o) { o.clear(); return 0; }
uint32_t IPLUGINAPI_IMPL::CheckPhysicalDriveOperation(CVedidEVUPhysicalDrive&, PI::COperation&) { return 0; }
uint32_t IPLUGINAPI_IMPL::ExecutePhysicalDriveOperation(CVedidEVUPhysicalDrive&, PI::COperation&) { return 20005; }
uint32_t IPLUGINAPI_IMPL::SetPhysicalDriveProperty(CVedidEVUPhysicalDrive&, PI::CProperty&) { return 20004; }
}  // namespace NAMESPACE_Varnock
