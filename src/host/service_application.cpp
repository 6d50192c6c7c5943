#include "host/service_application.h"

#include <exception>

#include "env/env.h"
#include "env/service_platform.h"
#include "host/command_line.h"
#include "messages/messages.h"

namespace tolvenar {

TServiceApplication::TServiceApplication(Env& env, std::unique_ptr<ServicePlatform> platform)
    : env_(env), platform_(std::move(platform)), FEventLogger(*platform_, env.ExecutableName()) {}

TServiceApplication::~TServiceApplication() {
  for (auto& owned : services_) owned.clear_reference();
  services_.clear();
}

void TServiceApplication::Initialize() {
  if (initialized_) return;
  initialized_ = true;
  platform_->InitializeThread();
}

bool TServiceApplication::Installing() {
  return HasCommandLineSwitch(env_, "INSTALL") || HasCommandLineSwitch(env_, "UNINSTALL");
}

int TServiceApplication::Run() {
  for (auto& owned : services_) owned.service->SetSharedProcess(services_.size() > 1);
  if (HasCommandLineSwitch(env_, "INSTALL")) {
    return RegisterServices(true, HasCommandLineSwitch(env_, "SILENT")) ? 0 : 1;
  }
  if (HasCommandLineSwitch(env_, "UNINSTALL")) {
    return RegisterServices(false, HasCommandLineSwitch(env_, "SILENT")) ? 0 : 1;
  }
  return DispatchServices();
}

bool TServiceApplication::RegisterServices(bool Install, bool Silent) {
  // Not guarded: a service manager that cannot be opened ends the run.
  std::unique_ptr<ServiceManagerConnection> manager = platform_->OpenServiceManager();
  bool Success = true;
  const std::string path = env_.ExecutableDir() + env_.ExecutableName();
  for (auto& owned : services_) {
    TService& service = *owned.service;
    try {
      if (Install) {
        service.Install(*manager, path);
      } else {
        service.Uninstall(*manager);
      }
    } catch (const std::exception& e) {
      env_.WriteStdOut(FormatInstallFailure(Install, service.DisplayName, e.what()) + "\r\n");
      Success = false;
    }
  }
  manager.reset();
  if (Success && !Silent) {
    env_.WriteStdOut(std::string(Install ? kServiceInstalled : kServiceUninstalled) + "\r\n");
  }
  return Success;
}

int TServiceApplication::DispatchServices() {
  std::vector<std::string> names;
  for (auto& owned : services_) names.push_back(owned.service->Name);
  uint32_t result = platform_->RunDispatcher(
      names, [this](const std::vector<std::string>& args) { DispatchServiceMain(args); },
      [this](const std::string& message) { FEventLogger.LogMessage(message); });
  if (result != 0) FEventLogger.LogMessage(platform_->ErrorText(result));
  if (result != 0 && platform_->StartedByHand(result)) {
    // A mistyped switch would otherwise end without a word and with 0.
    env_.WriteStdErr(UsageText(env_.ExecutableName()));
    return 1;
  }
  // The exit codes of the last stop reported, which some service managers
  // read from the process instead.
  for (auto& owned : services_) {
    const TService& service = *owned.service;
    if (service.Win32ErrCode != 0 || service.ErrCode != 0) {
      return platform_->ExitCodeAfterStop(
          service.ErrCode != 0 ? kErrorServiceSpecificError : service.Win32ErrCode,
          service.ErrCode);
    }
  }
  return 0;
}

void TServiceApplication::DispatchServiceMain(const std::vector<std::string>& Args) {
  if (Args.empty()) return;
  for (auto& owned : services_) {
    if (env_.SameTextIgnoreCase(owned.service->Name, Args[0])) {
      owned.service->Main(Args);
      return;
    }
  }
}

std::string FormatInstallFailure(bool install, const std::string& display_name,
                                 const std::string& message) {
  return FillMessage(install ? kMsgInstallFailed : kMsgUninstallFailed, {display_name, message});
}

}  // namespace tolvenar
