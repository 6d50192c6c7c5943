#include "host/console_runner.h"

#include <memory>

#include "connector/manager.h"
#include "env/env.h"
#include "env/service_platform.h"

namespace tolvenar {

void RunConsole(Env& env) {
  // The service host's per-thread set-up (COM on Windows), as in service mode.
  NewServicePlatform(env)->InitializeThread();
  // Any error below frees the manager (stopping its workers) on the way out.
  auto manager = std::make_unique<TTolvenarConnectorManager>(&env);
  manager->Start();
  env.WriteStdOut(std::string(kConsoleLine) + "\r\n");
  env.ReadLineFromStdIn();
  manager->Stop();
}

}  // namespace tolvenar
