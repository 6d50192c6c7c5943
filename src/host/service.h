// TService: the base of a service object. Its settings, its status reports
// to the service manager, its event writer, the service main function and
// the service thread on which its handlers run and control requests are
// processed one at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "env/service_platform.h"
#include "host/event_logger.h"

namespace tolvenar {

enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum class TCurrentStatus {
  csStopped,
  csStartPending,
  csStopPending,
  csRunning,
  csContinuePending,
  csPausePending,
  csPaused
};

class TService {
 public:
  using TStartEvent = std::function<void(TService* Sender, bool& Started)>;
  using TStopEvent = std::function<void(TService* Sender, bool& Stopped)>;
  using TPauseEvent = std::function<void(TService* Sender, bool& Paused)>;
  using TContinueEvent = std::function<void(TService* Sender, bool& Continued)>;
  using TServiceEvent = std::function<void(TService* Sender)>;

  explicit TService(ServicePlatform& platform);
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;
  virtual ~TService();

  // Settings, with the host's defaults.
  std::string Name;
  std::string DisplayName;
  TServiceType ServiceType = TServiceType::stWin32;
  bool Interactive = false;
  TStartType StartType = TStartType::stAuto;
  TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
  bool AllowStop = true;
  bool AllowPause = true;
  uint32_t WaitHint = 5000;
  uint32_t Win32ErrCode = 0;
  uint32_t ErrCode = 0;
  // Recovery registered at install: restart this long after a crash (0:
  // none); earlier crashes are forgotten after the reset period.
  uint32_t RestartDelayMs = 0;
  uint32_t FailureResetPeriodSec = 0;
  // The longest a stop may take, for a service manager with a fixed stop
  // time-out (0: its default).
  uint32_t StopTimeoutSec = 0;
  // While a stop or shutdown handler runs, the stop-pending status is
  // reported again this often, with a rising check point, so that the
  // service manager does not take a long stop for a hung service.
  std::chrono::milliseconds ProgressInterval{1000};

  // Handlers, called on the service thread.
  TStartEvent OnStart;
  TStopEvent OnStop;
  TPauseEvent OnPause;
  TContinueEvent OnContinue;
  TServiceEvent OnShutdown;

  // The service's control-handler entry.
  virtual ControlHandlerFn GetServiceController() = 0;

  // The host's control entry: queues the code for the service thread and
  // resumes that thread if a pause suspended it. Returns at once.
  void Controller(uint32_t CtrlCode);

  // Writes one event under the source `Name`.
  void LogMessage(const std::string& Message, uint16_t EventType = kEventTypeError,
                  uint16_t Category = 0, uint32_t ID = 0);

  TCurrentStatus Status() const;
  // Changes the status and reports it.
  void SetStatus(TCurrentStatus Value);
  void ReportStatus();
  // Reports the current pending status again with the next check point;
  // nothing when the status is not a pending one. Any thread.
  void ReportProgress();

  // Values passed to the platform. `shared_process`: the application holds
  // more than one service object.
  uint32_t GetNTServiceType() const;
  uint32_t GetNTStartType() const;
  uint32_t GetNTErrorSeverity() const;
  uint32_t GetNTControlsAccepted() const;
  void SetSharedProcess(bool shared) { shared_process_ = shared; }

  // Install and uninstall through an open service manager; errors pass on.
  // Install registers the recovery settings too.
  void Install(ServiceManagerConnection& manager, const std::string& executable_path);
  // What Install registers for the executable at `executable_path`.
  ServiceInstallRequest InstallRequest(const std::string& executable_path) const;
  void Uninstall(ServiceManagerConnection& manager);

  // The service main function for this service (after the host found it by
  // name): registers the control handler, runs the service thread to its
  // end, reports the service stopped.
  void Main(const std::vector<std::string>& Args);

  const std::vector<std::string>& Params() const { return FParams; }

 protected:
  // Actions of the control requests, on the service thread. The boolean
  // ones return false when a handler declined.
  bool DoStop();
  bool DoPause();
  bool DoContinue();
  void DoInterrogate();
  void DoShutdown();
  // Codes other than 1 to 5; none is handled.
  virtual bool DoCustomControl(uint32_t CtrlCode);

 private:
  void ServiceThreadExecute();
  void ProcessRequests(bool WaitForMessage);
  // With status_mutex_ held. `Progress`: the next check point of a long
  // pending status.
  void ReportStatusLocked(bool Progress);

  ServicePlatform& platform_;
  // Status reports come from the service thread and, during a stop, from
  // the progress reporter; events likewise.
  mutable std::mutex status_mutex_;
  std::mutex log_mutex_;
  TCurrentStatus FStatus = TCurrentStatus::csStartPending;
  // Status of the previous report; one service object per process.
  TCurrentStatus FLastStatus = TCurrentStatus::csStartPending;
  uint32_t FCheckPoint = 0;
  bool shared_process_ = false;
  std::vector<std::string> FParams;
  std::unique_ptr<ServiceStatusHandle> FStatusHandle;
  std::unique_ptr<TEventLogger> FEventLogger;
  // The thread object outlives its thread until the service object goes,
  // so that a control request racing with the end never meets a freed one.
  std::unique_ptr<ControlQueueThread> FServiceThread;
  std::atomic<ControlQueueThread*> control_target_{nullptr};
  // Set on the service thread by a stop or shutdown.
  bool FTerminated = false;
};

// "Service failed on <action>: <message>".
std::string FormatServiceFailed(const std::string& action, const std::string& message);
// "Service failed in custom message(<code>): <message>".
std::string FormatCustomError(uint32_t code, const std::string& message);

}  // namespace tolvenar
