// Connecting the process to the service control manager: the dispatcher
// thread, the main thread's message loop, the service main function and the
// control-handler entry.
#include <atomic>
#include <exception>
#include <thread>

#include "env/windows/env_windows.h"
#include "env/windows/service_windows.h"

namespace tolvenar {

namespace {

// The platform calls plain functions; these reach the host's.
ServiceMainFn* g_service_main = nullptr;
std::atomic<ControlHandlerFn> g_control_handler{nullptr};

void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
  try {
    if (g_service_main) (*g_service_main)(args);
  } catch (...) {
    // The service main function reports its own failures.
  }
}

void WINAPI ControlHandlerEntry(DWORD code) {
  if (ControlHandlerFn handler = g_control_handler.load()) handler(code);
}

class WindowsStatusHandle : public ServiceStatusHandle {
 public:
  explicit WindowsStatusHandle(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

  bool SetStatus(const ServiceStatusRecord& record, std::string* error_text) override {
    SERVICE_STATUS status{};
    status.dwServiceType = record.service_type;
    status.dwCurrentState = record.current_state;
    status.dwControlsAccepted = record.controls_accepted;
    status.dwWin32ExitCode = record.win32_exit_code;
    status.dwServiceSpecificExitCode = record.service_specific_exit_code;
    status.dwCheckPoint = record.check_point;
    status.dwWaitHint = record.wait_hint;
    if (SetServiceStatus(handle_, &status)) return true;
    *error_text = WindowsErrorText(GetLastError());
    return false;
  }

 private:
  SERVICE_STATUS_HANDLE handle_;  // not closed: it belongs to the platform
};

}  // namespace

uint32_t WindowsServicePlatform::RunDispatcher(const std::vector<std::string>& service_names,
                                               ServiceMainFn service_main,
                                               LoopErrorFn on_loop_error) {
  std::vector<std::wstring> names;
  for (const std::string& name : service_names) names.push_back(Utf8ToWide(name));
  std::vector<SERVICE_TABLE_ENTRYW> table;
  for (std::wstring& name : names) table.push_back({name.data(), &ServiceMainEntry});
  table.push_back({nullptr, nullptr});
  g_service_main = &service_main;

  // The main thread's queue exists before the dispatcher thread can post
  // its quit message.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  const DWORD main_thread = GetCurrentThreadId();
  DWORD result = 0;
  std::thread dispatcher([&] {
    if (!StartServiceCtrlDispatcherW(table.data())) result = GetLastError();
    PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
  });

  for (;;) {
    try {
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    } catch (const std::exception& e) {
      on_loop_error(e.what());
    }
  }
  dispatcher.join();
  g_service_main = nullptr;
  return result;
}

std::unique_ptr<ServiceStatusHandle> WindowsServicePlatform::RegisterControlHandler(
    const std::string& name, ControlHandlerFn handler, std::string* error_text) {
  g_control_handler.store(handler);
  SERVICE_STATUS_HANDLE status =
      RegisterServiceCtrlHandlerW(Utf8ToWide(name).c_str(), &ControlHandlerEntry);
  if (!status) {
    *error_text = WindowsErrorText(GetLastError());
    return nullptr;
  }
  return std::make_unique<WindowsStatusHandle>(status);
}

}  // namespace tolvenar
