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
constexpr const char* kStartFailurePrefix = "Falha ao iniciar o Connector: ";

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
