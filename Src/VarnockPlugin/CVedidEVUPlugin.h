// The plug-in's own host object: identity, tool version and the poll interval setting.
#pragma once

#include "PI.h"

namespace NAMESPACE_Varnock {

class CVedidEVUPlugin : public PI::CObject {};

}  // namespace NAMESPACE_Varnock
