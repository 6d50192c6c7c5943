// Service mode: install, uninstall, or run under the platform's service
// manager.
#pragma once

namespace tolvenar {

class Env;

// Runs the service host for the connector's one service. Returns the
// process's exit code when the service has stopped (or after an install or
// uninstall, 1 when that failed); an error that escapes it goes to the
// unhandled-error report.
int RunServiceMode(Env& env);

}  // namespace tolvenar
