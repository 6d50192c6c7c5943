#include "host/command_line.h"

#include "platform/env.h"

namespace tolvenar {

bool HasSwitch(const std::vector<std::string>& params, std::string_view name, Env& env) {
  for (const std::string& param : params) {
    if (!param.empty() && (param[0] == '-' || param[0] == '/') &&
        env.SameTextIgnoreCase(std::string_view(param).substr(1), name)) {
      return true;
    }
  }
  return false;
}

bool HasCommandLineSwitch(Env& env, std::string_view name) {
  return HasSwitch(env.CommandLineParams(), name, env);
}

}  // namespace tolvenar
