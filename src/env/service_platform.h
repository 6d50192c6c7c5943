// The platform's service manager and event log, as the service host uses
// them: install and uninstall, the dispatcher that connects the process to
// the service manager, status reports, the service thread with its queue of
// control requests, and event sources. The build links one implementation
// (Windows service control manager, or systemd on Linux).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tolvenar {

class Env;

// One status report, field for field as the service manager receives it.
struct ServiceStatusRecord {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// Platform states of a service.
enum : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// Platform control codes.
enum : uint32_t {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlInterrogate = 4,
  kControlShutdown = 5,
};

constexpr uint32_t kStartTypeAuto = 2;

// The Win32 exit code that says "see the service-specific exit code".
constexpr uint32_t kErrorServiceSpecificError = 1066;

// What an install registers.
struct ServiceInstallRequest {
  std::string name;
  std::string display_name;
  uint32_t service_type = 0;
  uint32_t start_type = 0;
  uint32_t error_control = 0;
  // The executable's full path, in double quotes when it holds a space.
  std::string binary_path;
  // Recovery: restart this long after the service crashed (0: none), and
  // forget earlier crashes after this period. A stop the service reported
  // itself, with an exit code, is no crash and is not restarted.
  uint32_t restart_delay_ms = 0;
  uint32_t failure_reset_period_s = 0;
  // The longest a stop may take, where the service manager has a fixed
  // stop time-out (0: its default).
  uint32_t stop_timeout_s = 0;
};

// The service manager's database, open for install and uninstall; closed
// when destroyed.
class ServiceManagerConnection {
 public:
  virtual ~ServiceManagerConnection() = default;
  // Registers the service; raises EOSError when the platform refuses.
  virtual void InstallService(const ServiceInstallRequest& request) = 0;
  // Removes the service without stopping it; raises EOSError on failure.
  virtual void RemoveService(const std::string& name) = 0;
};

// One source of the platform's event log; closed when destroyed.
class EventSource {
 public:
  virtual ~EventSource() = default;
  // One event whose only insertion string is `message`; failures ignored.
  virtual void Report(uint16_t event_type, uint16_t category, uint32_t event_id,
                      const std::string& message) = 0;
};

// The handle through which a running service reports its status.
class ServiceStatusHandle {
 public:
  virtual ~ServiceStatusHandle() = default;
  // False when the service manager refused the report, with the platform's
  // text for the error in *error_text.
  virtual bool SetStatus(const ServiceStatusRecord& record, std::string* error_text) = 0;
};

// The thread on which a service's handlers run, with its queue of control
// requests. Created suspended; its body begins at Resume, after the thread
// has set up its queue.
class ControlQueueThread {
 public:
  virtual ~ControlQueueThread() = default;
  virtual void Resume() = 0;
  // Blocks until the body has returned, without a time limit.
  virtual void WaitFor() = 0;
  // Any thread: queues a control code (kept even before the body begins)
  // and resumes the thread if it has suspended itself.
  virtual void PostControl(uint32_t code) = 0;
  // On the thread itself: the next control code. With `wait` it blocks until
  // one arrives; without, it returns false when none is queued. Other
  // messages met on the way are dispatched.
  virtual bool NextControl(bool wait, uint32_t* code) = 0;
  // On the thread itself: stops running until the next PostControl.
  virtual void SuspendSelf() = 0;
};

// A service's control-handler entry: a plain function taking the code.
using ControlHandlerFn = void (*)(uint32_t code);
// The service main function, called on a thread of the platform's with the
// start arguments (the first is the service name).
using ServiceMainFn = std::function<void(const std::vector<std::string>& args)>;
// Receives the message of an error raised in the main thread's loop.
using LoopErrorFn = std::function<void(const std::string& message)>;

class ServicePlatform {
 public:
  virtual ~ServicePlatform() = default;

  // On the main thread, once: per-thread set-up the host owes the platform
  // (COM, single-threaded apartment, where there is COM).
  virtual void InitializeThread() = 0;

  // Raises EOSError when the service manager cannot be opened for changes.
  virtual std::unique_ptr<ServiceManagerConnection> OpenServiceManager() = 0;

  // Connects the process to the service manager for the services named,
  // calls `service_main` for each start, and returns once every service has
  // stopped: 0, or at once the platform's error code when the process was
  // not started by the service manager. The calling (main) thread processes
  // its messages meanwhile; errors raised there go to `on_loop_error`.
  virtual uint32_t RunDispatcher(const std::vector<std::string>& service_names,
                                 ServiceMainFn service_main, LoopErrorFn on_loop_error) = 0;

  // From the service main function: registers the control-handler entry of
  // the service `name`. Null on failure, with the platform's text for the
  // error in *error_text.
  virtual std::unique_ptr<ServiceStatusHandle> RegisterControlHandler(const std::string& name,
                                                                      ControlHandlerFn handler,
                                                                      std::string* error_text) = 0;

  // A new service thread, suspended, that will run `body`.
  virtual std::unique_ptr<ControlQueueThread> CreateControlQueueThread(
      std::function<void()> body) = 0;

  // Opens the event source `source_name` (on the local machine).
  virtual std::unique_ptr<EventSource> OpenEventSource(const std::string& source_name) = 0;

  // The platform's message text for an error code, without trailing blanks,
  // line ends and full stops.
  virtual std::string ErrorText(uint32_t code) = 0;

  // The process's exit code once its service stopped with these exit codes
  // (0 and 0 after an orderly stop). Where the service manager reads the
  // exit codes from the status reports (Windows) this is 0; where it reads
  // the process's exit status (systemd), a failure must not look like one.
  virtual int ExitCodeAfterStop(uint32_t win32_exit_code, uint32_t specific_exit_code) = 0;

  // True when RunDispatcher's result says that no service manager started
  // the process: someone ran it by hand, with no switch it knows.
  virtual bool StartedByHand(uint32_t dispatcher_result) = 0;
};

// This platform's implementation (service_*_windows.cpp or *_posix.cpp).
std::unique_ptr<ServicePlatform> NewServicePlatform(Env& env);

}  // namespace tolvenar
