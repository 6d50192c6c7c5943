// The Windows service control manager and event log behind ServicePlatform.
#pragma once

#include <windows.h>

#include <string>

#include "env/service_platform.h"

namespace tolvenar {

class WindowsServicePlatform : public ServicePlatform {
 public:
  void InitializeThread() override;
  std::unique_ptr<ServiceManagerConnection> OpenServiceManager() override;
  uint32_t RunDispatcher(const std::vector<std::string>& service_names, ServiceMainFn service_main,
                         LoopErrorFn on_loop_error) override;
  std::unique_ptr<ServiceStatusHandle> RegisterControlHandler(const std::string& name,
                                                              ControlHandlerFn handler,
                                                              std::string* error_text) override;
  std::unique_ptr<ControlQueueThread> CreateControlQueueThread(std::function<void()> body) override;
  std::unique_ptr<EventSource> OpenEventSource(const std::string& source_name) override;
  std::string ErrorText(uint32_t code) override;
  // The service control manager reads the exit codes from the status
  // reports; the process itself ends with 0.
  int ExitCodeAfterStop(uint32_t, uint32_t) override { return 0; }
  bool StartedByHand(uint32_t dispatcher_result) override {
    return dispatcher_result == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  }
};

// The system's message text for `code`, without trailing blanks, line ends
// and full stops.
std::string WindowsErrorText(DWORD code);

// Raises EOSError for `code` (GetLastError of a failed call).
[[noreturn]] void RaiseWindowsError(DWORD code);

// The thread message that carries a control code to the service thread.
constexpr UINT kServiceControlMessage = WM_USER + 1;

}  // namespace tolvenar
