// The operator's guide, as the setup installs it: beside the executable.
#include "env/env.h"
#include "env/guide_path.h"

namespace tolvenar {

std::string OperatorGuidePath(Env& env) { return env.ExecutableDir() + "LEIAME.txt"; }

}  // namespace tolvenar
