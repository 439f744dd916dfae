// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
uint32_t IPLUGINAPI_IMPL::SetDatabaseObjectProperties(const CVedidEVUAdapter&, RaidDataModels::Adapter&) { return 0; }
uint32_t IPLUGINAPI_IMPL::InsertObjectToDatabase(CVedidEVUAdapter&) { return 0; }
uint32_t IPLUGINAPI_IMPL::UpdateObjectInDatabase(CVedidEVUAdapter&) { return 0; }
uint32_t IPLUGINAPI_IMPL::DeleteObjectFromDatabase(CVedidEVUAdapter&) { return 0; }
}  // namespace NAMESPACE_Varnock
