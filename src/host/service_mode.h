// Service mode: install, uninstall, or run under the platform's service
// manager.
#pragma once

#include <string>

#include "env/service_platform.h"

namespace tolvenar {

class Env;

// Runs the service host for the connector's one service. Returns the
// process's exit code when the service has stopped (or after an install or
// uninstall, 1 when that failed); an error that escapes it goes to the
// unhandled-error report.
int RunServiceMode(Env& env);

// What the switch "install" registers for the connector's service with the
// executable at `executable_path` (for the platform's packages, which ship
// the same registration).
ServiceInstallRequest ConnectorInstallRequest(Env& env, const std::string& executable_path);

}  // namespace tolvenar
