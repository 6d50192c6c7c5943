// The operator's guide, as the Debian package installs it.
#include "env/guide_path.h"

namespace tolvenar {

std::string OperatorGuidePath(Env&) { return "/usr/share/doc/tolvenar-connector/LEIAME.txt"; }

}  // namespace tolvenar
