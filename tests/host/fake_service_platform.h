// FakeServicePlatform: a service manager and event log that record what the
// host hands them. Service threads are the platform's real ones, so the
// control queue under test is the one the product uses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "env/service_platform.h"

namespace tolvenar::testing {

struct Report {
  uint32_t state, check_point, controls_accepted;
  bool operator==(const Report& other) const {
    return state == other.state && check_point == other.check_point &&
           controls_accepted == other.controls_accepted;
  }
};

struct Event {
  std::string source;
  uint16_t type, category;
  uint32_t id;
  std::string message;
};

class FakeServicePlatform : public ServicePlatform {
 public:
  FakeServicePlatform();
  ~FakeServicePlatform() override;

  // --- what the host did ---
  std::vector<ServiceStatusRecord> Records();
  std::vector<Report> Reports();
  std::vector<Event> Events();
  // Blocks until `count` reports were made (or a generous deadline passed).
  bool WaitForReports(size_t count);
  std::vector<ServiceInstallRequest> installed;
  std::vector<std::string> removed;
  int manager_opened = 0, manager_closed = 0;
  int initialized = 0;
  std::vector<std::string> dispatched_names;
  std::string registered_name;
  ControlHandlerFn handler = nullptr;

  // --- how it behaves ---
  bool manager_fails = false;     // OpenServiceManager raises
  std::string install_error;      // non-empty: InstallService raises it
  std::string remove_error;       // non-empty: RemoveService raises it
  bool register_fails = false;    // RegisterControlHandler fails
  bool set_status_fails = false;  // every SetStatus fails
  uint32_t dispatch_result = 0;   // RunDispatcher's result
  int exit_code_after_stop = 42;  // ExitCodeAfterStop's result
  // The exit codes ExitCodeAfterStop was asked about, if it was.
  std::vector<std::pair<uint32_t, uint32_t>> stop_exit_codes;
  // Run by RunDispatcher, with the service main function.
  std::function<void(const ServiceMainFn&, const LoopErrorFn&)> on_dispatch;

  void InitializeThread() override { ++initialized; }
  std::unique_ptr<ServiceManagerConnection> OpenServiceManager() override;
  uint32_t RunDispatcher(const std::vector<std::string>& service_names, ServiceMainFn service_main,
                         LoopErrorFn on_loop_error) override;
  std::unique_ptr<ServiceStatusHandle> RegisterControlHandler(const std::string& name,
                                                              ControlHandlerFn handler,
                                                              std::string* error_text) override;
  std::unique_ptr<ControlQueueThread> CreateControlQueueThread(std::function<void()> body) override;
  std::unique_ptr<EventSource> OpenEventSource(const std::string& source_name) override;
  std::string ErrorText(uint32_t code) override { return "error text " + std::to_string(code); }
  // The fake's "not started by the service manager" result.
  static constexpr uint32_t kStartedByHandResult = 1063;
  bool StartedByHand(uint32_t dispatcher_result) override {
    return dispatcher_result == kStartedByHandResult;
  }
  int ExitCodeAfterStop(uint32_t win32_exit_code, uint32_t specific_exit_code) override {
    stop_exit_codes.emplace_back(win32_exit_code, specific_exit_code);
    return exit_code_after_stop;
  }

  void AddRecord(const ServiceStatusRecord& record);
  void AddEvent(Event event);

 private:
  std::unique_ptr<ServicePlatform> real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ServiceStatusRecord> records_;
  std::vector<Event> events_;
};

}  // namespace tolvenar::testing
