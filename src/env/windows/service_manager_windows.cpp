// Install and uninstall through the service control manager.
#include "env/windows/env_windows.h"
#include "env/windows/service_windows.h"

namespace tolvenar {

namespace {

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() {
    if (handle_) CloseServiceHandle(handle_);
  }
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

// Restart after each crash (first, second and later ones). Only crashes:
// the non-crash flag stays off, so a service that stops itself with an
// exit code, as after a failed start, is not restarted into the same
// failure again and again.
bool SetRecovery(SC_HANDLE service, const ServiceInstallRequest& request) {
  SC_ACTION actions[3];
  for (SC_ACTION& action : actions) action = {SC_ACTION_RESTART, request.restart_delay_ms};
  SERVICE_FAILURE_ACTIONSW failure_actions{};
  failure_actions.dwResetPeriod = request.failure_reset_period_s;
  failure_actions.cActions = 3;
  failure_actions.lpsaActions = actions;
  return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions) != 0;
}

class WindowsServiceManager : public ServiceManagerConnection {
 public:
  explicit WindowsServiceManager(SC_HANDLE handle) : manager_(handle) {}

  void InstallService(const ServiceInstallRequest& request) override {
    const std::wstring name = Utf8ToWide(request.name);
    const std::wstring display_name = Utf8ToWide(request.display_name);
    const std::wstring path = Utf8ToWide(request.binary_path);
    // Empty load-order group, no tag, empty dependency list, no account
    // (local system), empty password.
    ScHandle service(CreateServiceW(manager_.get(), name.c_str(), display_name.c_str(),
                                    SERVICE_ALL_ACCESS, request.service_type, request.start_type,
                                    request.error_control, path.c_str(), L"", nullptr, L"", nullptr,
                                    L""));
    if (!service.get()) RaiseWindowsError(GetLastError());
    if (request.restart_delay_ms != 0 && !SetRecovery(service.get(), request)) {
      // Not left half-installed: an install either holds or fails whole.
      const DWORD error = GetLastError();
      ::DeleteService(service.get());
      RaiseWindowsError(error);
    }
  }

  void RemoveService(const std::string& name) override {
    ScHandle service(OpenServiceW(manager_.get(), Utf8ToWide(name).c_str(), SERVICE_ALL_ACCESS));
    if (!service.get()) RaiseWindowsError(GetLastError());
    if (!::DeleteService(service.get())) RaiseWindowsError(GetLastError());
  }

 private:
  ScHandle manager_;
};

}  // namespace

std::unique_ptr<ServiceManagerConnection> WindowsServicePlatform::OpenServiceManager() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) RaiseWindowsError(GetLastError());
  return std::make_unique<WindowsServiceManager>(manager);
}

}  // namespace tolvenar
