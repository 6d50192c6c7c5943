#include "config/profile.h"

#include "config/config.h"

namespace tolvenar {

std::string TTolvenarConnectorProfile::Secret() const {
  if (!FUnprotectedSecret.empty()) return FUnprotectedSecret;
  return TTolvenarConnectorConfig::UnprotectMachineString(*protector_, FSecretEncrypted);
}

}  // namespace tolvenar
