#include "host/service_mode.h"

#include "platform/env.h"
#include "platform/exception.h"

namespace tolvenar {

// Replaced by the service host.
void RunServiceMode(Env&) { throw Exception("Service mode is not available yet"); }

}  // namespace tolvenar
