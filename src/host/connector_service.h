// TTolvenarConnectorWindowsService: the program's one service object. Runs
// the connector manager between a start and a stop or shutdown, and reports
// a start that fails as an event.
#pragma once

#include <memory>

#include "host/service.h"

namespace tolvenar {

class Env;
class TTolvenarConnectorManager;

constexpr const char* kServiceName = "TolvenarConnector";
constexpr const char* kServiceDisplayName = "T\xC3\xB3lvenar Connector";
// The service-specific exit code of a start that failed (no profile, or the
// manager could not start): the service manager shows the service stopped
// with it, and does not count it as a crash.
constexpr uint32_t kStartFailedExitCode = 1;
// Recovery after a crash: a restart a minute later, every time; the count
// of crashes starts again after a day.
constexpr uint32_t kRestartDelayMs = 60000;
constexpr uint32_t kFailureResetPeriodSec = 86400;
// A stop waits for each worker's pause (up to 60 s) or exchange (up to 45 s
// per wait, and one may begin just before the stop request): room for both,
// with a margin.
constexpr uint32_t kStopTimeoutSec = 150;

class TTolvenarConnectorWindowsService : public TService {
 public:
  TTolvenarConnectorWindowsService(ServicePlatform& platform, Env& env);
  ~TTolvenarConnectorWindowsService() override;

  ControlHandlerFn GetServiceController() override;

  void ServiceStart(TService* Sender, bool& Started);
  void ServiceStop(TService* Sender, bool& Stopped);
  void ServiceShutdown(TService* Sender);

  bool HasManager() const { return FManager != nullptr; }

 protected:
  // The manager a start creates; tests substitute one with fake workers.
  virtual std::unique_ptr<TTolvenarConnectorManager> CreateManager();

 private:
  Env& env_;
  std::unique_ptr<TTolvenarConnectorManager> FManager;
};

// The process-wide reference to the one service object, used by the
// control-handler entry.
extern TTolvenarConnectorWindowsService* TolvenarConnectorWindowsService;

// The control-handler entry: hands the code to that service object.
void ControlHandler(uint32_t CtrlCode);

}  // namespace tolvenar
