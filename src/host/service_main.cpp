// The service main function and the service thread of TService.
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "host/service.h"

namespace tolvenar {

namespace {

// While alive, reports the service's pending status again every interval,
// from a thread of its own: the handler it guards may wait a minute or more
// for the workers, and the service manager must see that it is not hung.
class PendingProgress {
 public:
  PendingProgress(TService& service, std::chrono::milliseconds interval)
      : service_(service), interval_(interval), thread_([this] { Run(); }) {}
  PendingProgress(const PendingProgress&) = delete;
  PendingProgress& operator=(const PendingProgress&) = delete;
  ~PendingProgress() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_changed_.wait_for(lock, interval_, [this] { return done_; })) {
      lock.unlock();
      service_.ReportProgress();
      lock.lock();
    }
  }

  TService& service_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

// A reporter for a long handler; none when no thread can be had, in which
// case the handler still runs (the service manager may then lose patience).
std::unique_ptr<PendingProgress> StartProgress(TService& service,
                                               std::chrono::milliseconds interval) {
  try {
    return std::make_unique<PendingProgress>(service, interval);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

void TService::Main(const std::vector<std::string>& Args) {
  FParams = Args;
  // The thread exists, suspended, before the control handler does, so that
  // a request arriving during the start waits in its queue. A failure to
  // create it is reported once the service can report.
  std::exception_ptr creation_error;
  try {
    FServiceThread = platform_.CreateControlQueueThread([this] { ServiceThreadExecute(); });
    control_target_.store(FServiceThread.get());
  } catch (...) {
    creation_error = std::current_exception();
  }
  std::string error_text;
  FStatusHandle = platform_.RegisterControlHandler(Name, GetServiceController(), &error_text);
  if (!FStatusHandle) {
    control_target_.store(nullptr);
    LogMessage(error_text);
    return;
  }
  try {
    try {
      SetStatus(TCurrentStatus::csStartPending);
      if (creation_error) std::rethrow_exception(creation_error);
      FServiceThread->Resume();
      FServiceThread->WaitFor();
    } catch (...) {
      control_target_.store(nullptr);
      SetStatus(TCurrentStatus::csStopped);
      throw;
    }
    control_target_.store(nullptr);
    SetStatus(TCurrentStatus::csStopped);
  } catch (const std::exception& e) {
    LogMessage(FormatServiceFailed("execute", e.what()));
  }
}

void TService::ServiceThreadExecute() {
  try {
    SetStatus(TCurrentStatus::csStartPending);
    bool Started = true;
    if (OnStart) OnStart(this, Started);
    if (!Started) return;
    try {
      SetStatus(TCurrentStatus::csRunning);
      ProcessRequests(true);
      ProcessRequests(false);
    } catch (const std::exception& e) {
      LogMessage(FormatServiceFailed("execute", e.what()));
    }
  } catch (const std::exception& e) {
    LogMessage(FormatServiceFailed("start", e.what()));
  }
}

namespace {

const char* ActionWord(uint32_t code) {
  switch (code) {
    case kControlStop:
      return "stop";
    case kControlPause:
      return "pause";
    case kControlContinue:
      return "continue";
    case kControlInterrogate:
      return "interrogate";
    case kControlShutdown:
      return "shutdown";
  }
  return nullptr;
}

}  // namespace

void TService::ProcessRequests(bool WaitForMessage) {
  for (;;) {
    if (FTerminated && WaitForMessage) break;
    uint32_t code = 0;
    if (!FServiceThread->NextControl(WaitForMessage, &code)) break;
    TCurrentStatus OldStatus = FStatus;
    try {
      bool ActionOK = true;
      switch (code) {
        case kControlStop:
          ActionOK = DoStop();
          break;
        case kControlPause:
          ActionOK = DoPause();
          break;
        case kControlContinue:
          ActionOK = DoContinue();
          break;
        case kControlInterrogate:
          DoInterrogate();
          break;
        case kControlShutdown:
          DoShutdown();
          break;
        default:
          ActionOK = DoCustomControl(code);
          break;
      }
      if (!ActionOK) SetStatus(OldStatus);
    } catch (const std::exception& e) {
      if (code != kControlShutdown) SetStatus(OldStatus);
      const char* word = ActionWord(code);
      LogMessage(word ? FormatServiceFailed(word, e.what()) : FormatCustomError(code, e.what()));
    }
  }
}

bool TService::DoStop() {
  SetStatus(TCurrentStatus::csStopPending);
  bool Stopped = true;
  if (OnStop) {
    const auto progress = StartProgress(*this, ProgressInterval);
    OnStop(this, Stopped);
  }
  if (Stopped) FTerminated = true;
  return Stopped;
}

bool TService::DoPause() {
  SetStatus(TCurrentStatus::csPausePending);
  bool Paused = true;
  if (OnPause) OnPause(this, Paused);
  if (Paused) {
    SetStatus(TCurrentStatus::csPaused);
    // Only this thread stops; threads the service started go on.
    FServiceThread->SuspendSelf();
  }
  return Paused;
}

bool TService::DoContinue() {
  SetStatus(TCurrentStatus::csContinuePending);
  bool Continued = true;
  if (OnContinue) OnContinue(this, Continued);
  if (Continued) SetStatus(TCurrentStatus::csRunning);
  return Continued;
}

void TService::DoInterrogate() { ReportStatus(); }

void TService::DoShutdown() {
  SetStatus(TCurrentStatus::csStopPending);
  try {
    if (OnShutdown) {
      const auto progress = StartProgress(*this, ProgressInterval);
      OnShutdown(this);
    }
  } catch (...) {
    FTerminated = true;
    throw;
  }
  FTerminated = true;
}

bool TService::DoCustomControl(uint32_t) { return true; }

}  // namespace tolvenar
