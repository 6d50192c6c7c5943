#include <string>

#include "env/env.h"

namespace tolvenar {

std::string LogGenerationPath(const std::string& path, int generation) {
  const size_t name = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  const bool has_extension = dot != std::string::npos && (name == std::string::npos || dot > name);
  const size_t at = has_extension ? dot : path.size();
  return path.substr(0, at) + "." + std::to_string(generation) + path.substr(at);
}

}  // namespace tolvenar
