// The dispatcher on systemd. Run by systemd (NOTIFY_SOCKET set), the main
// thread waits for SIGTERM, which becomes the stop request, while the
// service main function runs on a thread of its own; status reports become
// notify messages. Without NOTIFY_SOCKET the process was not started by the
// service manager and the dispatcher fails at once.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "env/posix/service_posix.h"
#include "env/posix/unique_fd.h"
#include "env/std_control_queue_thread.h"

namespace tolvenar {

namespace {

class NotifyStatusHandle : public ServiceStatusHandle {
 public:
  explicit NotifyStatusHandle(std::string socket_name) : socket_name_(std::move(socket_name)) {}

  bool SetStatus(const ServiceStatusRecord& record, std::string* error_text) override {
    std::string message;
    switch (record.current_state) {
      case kServiceRunning:
        message = "READY=1";
        break;
      case kServiceStopPending:
        // A stop that is still under way asks for more time, as long as the
        // wait hint, beyond the unit's stop time-out.
        if (record.check_point == 0) {
          message = "STOPPING=1";
        } else if (record.wait_hint != 0) {
          message = "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{record.wait_hint} * 1000);
        } else {
          return true;
        }
        break;
      default:
        return true;  // systemd has no counterpart
    }
    int error = 0;
    if (SendNotify(socket_name_, message, &error)) return true;
    *error_text = PosixErrorText(error);
    return false;
  }

 private:
  std::string socket_name_;
};

}  // namespace

std::string PosixErrorText(int code) {
  char buffer[256];
  return strerror_r(code, buffer, sizeof(buffer));
}

PosixServicePlatform::PosixServicePlatform(SystemdOptions options) : options_(std::move(options)) {}

std::unique_ptr<ServiceManagerConnection> PosixServicePlatform::OpenServiceManager() {
  return OpenSystemdUnitFolder(options_);
}

uint32_t PosixServicePlatform::RunDispatcher(const std::vector<std::string>& service_names,
                                             ServiceMainFn service_main, LoopErrorFn) {
  const char* socket_name = std::getenv("NOTIFY_SOCKET");
  if (socket_name == nullptr || *socket_name == '\0' || service_names.empty()) return ENOTCONN;
  notify_socket_ = socket_name;

  // Every thread started from here on inherits the blocked SIGTERM, so it
  // arrives only through the signalfd below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
  const UniqueFd signals(signalfd(-1, &stop_signals, SFD_CLOEXEC));
  const UniqueFd ended(eventfd(0, EFD_CLOEXEC));
  if (!signals.valid() || !ended.valid()) {
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return static_cast<uint32_t>(error);
  }

  std::thread service_main_thread([&] {
    try {
      service_main({service_names.front()});
    } catch (...) {
      // The service main function reports its own failures.
    }
    uint64_t one = 1;
    while (write(ended.get(), &one, sizeof(one)) < 0 && errno == EINTR) {
    }
  });

  for (;;) {
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {ended.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) {
      signalfd_siginfo info{};
      if (read(signals.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        RequestStop();
      }
    }
  }
  service_main_thread.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return 0;
}

void PosixServicePlatform::RequestStop() {
  ControlHandlerFn handler = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
    if (!handler) stop_requested_ = true;
  }
  if (handler) handler(kControlStop);
}

std::unique_ptr<ServiceStatusHandle> PosixServicePlatform::RegisterControlHandler(
    const std::string&, ControlHandlerFn handler, std::string*) {
  bool stop_requested = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = handler;
    stop_requested = stop_requested_;
    stop_requested_ = false;
  }
  // A SIGTERM that came before the handler existed.
  if (stop_requested) handler(kControlStop);
  return std::make_unique<NotifyStatusHandle>(notify_socket_);
}

std::unique_ptr<ControlQueueThread> PosixServicePlatform::CreateControlQueueThread(
    std::function<void()> body) {
  return std::make_unique<StdControlQueueThread>(std::move(body));
}

std::unique_ptr<EventSource> PosixServicePlatform::OpenEventSource(const std::string& source_name) {
  return NewSyslogEventSource(source_name);
}

std::string PosixServicePlatform::ErrorText(uint32_t code) {
  return PosixErrorText(static_cast<int>(code));
}

int PosixServicePlatform::ExitCodeAfterStop(uint32_t win32_exit_code, uint32_t specific_exit_code) {
  // systemd sees only the exit status: any failure the service reported is
  // status 1, which the unit exempts from restarts (the reason is in the
  // journal). Crashes end by a signal instead.
  return win32_exit_code != 0 || specific_exit_code != 0 ? kReportedFailureExitStatus : 0;
}

bool PosixServicePlatform::StartedByHand(uint32_t dispatcher_result) {
  // systemd marks every process it starts with INVOCATION_ID, also in a
  // unit that gives it no notification socket.
  const char* invocation = std::getenv("INVOCATION_ID");
  return dispatcher_result == ENOTCONN && (invocation == nullptr || *invocation == '\0');
}

std::unique_ptr<ServicePlatform> NewServicePlatform(Env&) {
  return std::make_unique<PosixServicePlatform>();
}

}  // namespace tolvenar
