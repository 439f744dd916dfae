// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUPhysicalDrive&, RaidDataModels::PD&) { return 0; }
uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUPhysicalDrive&) { return 0; }
uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUPhysicalDrive&) { return 0; }
}  // namespace NAMESPACE_Varnock
