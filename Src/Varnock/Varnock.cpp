// Placeholder.
#include "VarnockPlugin.h"
