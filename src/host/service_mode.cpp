#include "host/service_mode.h"

#include "host/connector_service.h"
#include "host/service_application.h"
#include "platform/env.h"
#include "platform/service_platform.h"

namespace tolvenar {

int RunServiceMode(Env& env) {
  TServiceApplication Application(env, NewServicePlatform(env));
  if (!Application.DelayInitialize || Application.Installing()) Application.Initialize();
  Application.CreateForm(TolvenarConnectorWindowsService, env);
  TolvenarConnectorWindowsService->Name = kServiceName;
  return Application.Run();
}

}  // namespace tolvenar
