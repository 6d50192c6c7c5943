#include "host/service_mode.h"

#include <memory>

#include "env/env.h"
#include "env/service_platform.h"
#include "host/connector_service.h"
#include "host/service_application.h"

namespace tolvenar {

int RunServiceMode(Env& env) {
  TServiceApplication Application(env, NewServicePlatform(env));
  if (!Application.DelayInitialize || Application.Installing()) Application.Initialize();
  Application.CreateForm(TolvenarConnectorWindowsService, env);
  TolvenarConnectorWindowsService->Name = kServiceName;
  return Application.Run();
}

ServiceInstallRequest ConnectorInstallRequest(Env& env, const std::string& executable_path) {
  std::unique_ptr<ServicePlatform> platform = NewServicePlatform(env);
  TTolvenarConnectorWindowsService service(*platform, env);
  service.Name = kServiceName;
  return service.InstallRequest(executable_path);
}

}  // namespace tolvenar
