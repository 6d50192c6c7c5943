// Where this platform's installer puts the operator's guide.
#pragma once

#include <string>

namespace tolvenar {

class Env;

// Where the operator's guide (LEIAME.txt) is installed.
std::string OperatorGuidePath(Env& env);

}  // namespace tolvenar
