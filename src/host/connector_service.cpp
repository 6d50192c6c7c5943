#include "host/connector_service.h"

#include <exception>

#include "connector/manager.h"
#include "messages/messages.h"

namespace tolvenar {

TTolvenarConnectorWindowsService* TolvenarConnectorWindowsService = nullptr;

void ControlHandler(uint32_t CtrlCode) {
  if (TolvenarConnectorWindowsService) TolvenarConnectorWindowsService->Controller(CtrlCode);
}

TTolvenarConnectorWindowsService::TTolvenarConnectorWindowsService(ServicePlatform& platform,
                                                                   Env& env)
    : TService(platform), env_(env) {
  // The stored form: its name (replaced by the entry point), its display
  // name and its handlers.
  Name = "TolvenarConnectorWindowsService";
  DisplayName = kServiceDisplayName;
  RestartDelayMs = kRestartDelayMs;
  FailureResetPeriodSec = kFailureResetPeriodSec;
  StopTimeoutSec = kStopTimeoutSec;
  OnStart = [this](TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
  OnStop = [this](TService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
  OnShutdown = [this](TService* Sender) { ServiceShutdown(Sender); };
}

TTolvenarConnectorWindowsService::~TTolvenarConnectorWindowsService() = default;

ControlHandlerFn TTolvenarConnectorWindowsService::GetServiceController() {
  return &ControlHandler;
}

std::unique_ptr<TTolvenarConnectorManager> TTolvenarConnectorWindowsService::CreateManager() {
  return std::make_unique<TTolvenarConnectorManager>(&env_);
}

void TTolvenarConnectorWindowsService::ServiceStart(TService*, bool& Started) {
  try {
    FManager = CreateManager();
    FManager->Start();
    Started = true;
  } catch (const std::exception& e) {
    LogMessage(FillMessage(kMsgStartFailure, {e.what()}), kEventTypeError, 0, 0);
    // Freeing stops and waits for any worker already started.
    FManager.reset();
    ErrCode = kStartFailedExitCode;
    Started = false;
  }
}

void TTolvenarConnectorWindowsService::ServiceStop(TService*, bool& Stopped) {
  if (FManager) FManager->Stop();
  FManager.reset();
  Stopped = true;
}

void TTolvenarConnectorWindowsService::ServiceShutdown(TService*) {
  if (FManager) FManager->Stop();
  FManager.reset();
}

}  // namespace tolvenar
