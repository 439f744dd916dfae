// Placeholder until this component is written.
#include "VarnockPlugin.h"
namespace NAMESPACE_Varnock {
}  // namespace NAMESPACE_Varnock
