// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUPlugin&, RaidDataModels::Plugin&) { return 0; }
uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUPlugin&) { return 0; }
uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUPlugin&) { return 0; }
uint32_t IPLUGINAPI_IMPL::DeleteObjectFromDatabase(CVedidEVUPlugin&) { return 0; }
}  // namespace NAMESPACE_Varnock
