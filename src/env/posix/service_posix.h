// The service manager of Linux, systemd: unit files for install and
// uninstall, the notify protocol for status reports, SIGTERM as the stop
// request, and syslog as the event log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "env/posix/env_posix.h"
#include "env/service_platform.h"

namespace tolvenar {

// The system account the service runs as. Install refuses to write a unit
// when it does not exist, rather than let the service run as root.
inline constexpr const char* kServiceAccount = "tolvenar-connector";

struct SystemdOptions {
  // Where units are installed.
  std::string unit_dir = "/etc/systemd/system";
  // Present only while systemd runs; then units are reloaded after a change.
  std::string systemd_run_dir = "/run/systemd/system";
  // Command run (through PATH) for the reload.
  std::string systemctl = "systemctl";
  // User and group of the service.
  std::string account = kServiceAccount;
  // Folder under /var/lib that systemd keeps for the service (machine key).
  std::string state_directory = kStateDirectoryName;
};

// The exit status of a process whose service reported a failed stop (for
// instance a start that failed): a failure, but no crash to restart after.
constexpr int kReportedFailureExitStatus = 1;

// The unit folder as the service manager's database. Raises EOSError when
// it is not a folder this process can write to. Its install raises
// Exception when the account of `options` does not exist.
std::unique_ptr<ServiceManagerConnection> OpenSystemdUnitFolder(const SystemdOptions& options);

// The message of an install refused for want of the service account.
std::string MissingAccountMessage(const std::string& account, const std::string& state_directory);

// The text of a unit for `request`: the service runs as the account of
// `options`, in a sandbox where only the executable's folder (profiles
// file, activity log) and the state directory (machine key) are writable.
// The Debian package ships this same text.
std::string SystemdUnitText(const ServiceInstallRequest& request, const SystemdOptions& options);

// Sends one notify datagram to `socket_name` (a path, or an abstract name
// written with a leading '@'). False on failure, with errno in *error.
bool SendNotify(const std::string& socket_name, std::string_view message, int* error);

// An event source that writes to syslog under the identity `ident`.
std::unique_ptr<EventSource> NewSyslogEventSource(const std::string& ident);

// strerror text for `code`.
std::string PosixErrorText(int code);

class PosixServicePlatform : public ServicePlatform {
 public:
  explicit PosixServicePlatform(SystemdOptions options = {});

  void InitializeThread() override {}
  std::unique_ptr<ServiceManagerConnection> OpenServiceManager() override;
  uint32_t RunDispatcher(const std::vector<std::string>& service_names, ServiceMainFn service_main,
                         LoopErrorFn on_loop_error) override;
  std::unique_ptr<ServiceStatusHandle> RegisterControlHandler(const std::string& name,
                                                              ControlHandlerFn handler,
                                                              std::string* error_text) override;
  std::unique_ptr<ControlQueueThread> CreateControlQueueThread(std::function<void()> body) override;
  std::unique_ptr<EventSource> OpenEventSource(const std::string& source_name) override;
  std::string ErrorText(uint32_t code) override;
  int ExitCodeAfterStop(uint32_t win32_exit_code, uint32_t specific_exit_code) override;
  bool StartedByHand(uint32_t dispatcher_result) override;

 private:
  // A SIGTERM, handed to the control handler (or kept until there is one).
  void RequestStop();

  SystemdOptions options_;
  std::string notify_socket_;
  std::mutex mutex_;
  ControlHandlerFn handler_ = nullptr;
  bool stop_requested_ = false;
};

}  // namespace tolvenar
