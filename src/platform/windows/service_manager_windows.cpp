// Install and uninstall through the service control manager.
#include "platform/windows/env_windows.h"
#include "platform/windows/service_windows.h"

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
