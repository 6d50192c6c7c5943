// TServiceApplication: the service host. Installs or uninstalls its service
// objects on request from the command line, or connects the process to the
// service manager and runs them until they have stopped.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/event_logger.h"
#include "host/service.h"
#include "messages/messages.h"

namespace tolvenar {

class Env;
class ServicePlatform;

constexpr const char* kServiceInstalled = kMsgServiceInstalled;
constexpr const char* kServiceUninstalled = kMsgServiceUninstalled;

class TServiceApplication {
 public:
  TServiceApplication(Env& env, std::unique_ptr<ServicePlatform> platform);
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;
  // Destroys the service objects and clears the references to them.
  ~TServiceApplication();

  // Once per process: the platform's per-thread set-up; later calls do
  // nothing.
  void Initialize();
  bool DelayInitialize = false;
  // True when the switch "INSTALL" or "UNINSTALL" is present.
  bool Installing();

  // Creates a service object, owned by the application, and stores it in
  // `Reference`, the process-wide reference its control handler uses. On
  // failure the reference stays empty and the error passes on.
  template <class T, class... Args>
  void CreateForm(T*& Reference, Args&&... args) {
    Reference = nullptr;
    auto service = std::make_unique<T>(*platform_, std::forward<Args>(args)...);
    Reference = service.get();
    services_.push_back({std::move(service), [&Reference] { Reference = nullptr; }});
  }

  // Installs, uninstalls, or runs the services until they have stopped.
  // Returns the process's exit code: 1 when an install or uninstall failed;
  // after a run, what the platform makes of the exit codes the services
  // stopped with; 0 otherwise.
  int Run();

  // The service main function: finds the service named by the first
  // argument, ignoring case, and runs it.
  void DispatchServiceMain(const std::vector<std::string>& Args);

  ServicePlatform& Platform() { return *platform_; }

 private:
  struct OwnedService {
    std::unique_ptr<TService> service;
    std::function<void()> clear_reference;
  };

  // False when a service could not be installed or uninstalled.
  bool RegisterServices(bool Install, bool Silent);
  int DispatchServices();

  Env& env_;
  std::unique_ptr<ServicePlatform> platform_;
  // Source: the executable's file name; host-level failures only.
  TEventLogger FEventLogger;
  std::vector<OwnedService> services_;
  bool initialized_ = false;
};

// "Service "<display name>" failed to install with error: "<message>"", and
// the same for uninstall.
std::string FormatInstallFailure(bool install, const std::string& display_name,
                                 const std::string& message);

}  // namespace tolvenar
