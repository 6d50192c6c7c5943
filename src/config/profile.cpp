#include "config/profile.h"

#include "config/config.h"

namespace tolvenar {

std::string TTolvenarConnectorProfile::Secret() const {
  return TTolvenarConnectorConfig::UnprotectMachineString(*protector_, FSecretEncrypted);
}

}  // namespace tolvenar
