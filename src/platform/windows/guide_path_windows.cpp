// The operator's guide, as the setup installs it: beside the executable.
#include "platform/env.h"
#include "platform/messages.h"

namespace tolvenar {

std::string OperatorGuidePath(Env& env) { return env.ExecutableDir() + "LEIAME.txt"; }

}  // namespace tolvenar
