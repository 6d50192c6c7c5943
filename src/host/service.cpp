#include "host/service.h"

#include <utility>

#include "messages/messages.h"

namespace tolvenar {

TService::TService(ServicePlatform& platform) : platform_(platform) {}

TService::~TService() = default;

void TService::Controller(uint32_t CtrlCode) {
  if (ControlQueueThread* thread = control_target_.load()) thread->PostControl(CtrlCode);
}

void TService::LogMessage(const std::string& Message, uint16_t EventType, uint16_t Category,
                          uint32_t ID) {
  std::lock_guard<std::mutex> lock(log_mutex_);
  if (!FEventLogger) FEventLogger = std::make_unique<TEventLogger>(platform_, Name);
  FEventLogger->LogMessage(Message, EventType, Category, ID);
}

namespace {

uint32_t PlatformState(TCurrentStatus status) {
  switch (status) {
    case TCurrentStatus::csStopped:
      return kServiceStopped;
    case TCurrentStatus::csStartPending:
      return kServiceStartPending;
    case TCurrentStatus::csStopPending:
      return kServiceStopPending;
    case TCurrentStatus::csRunning:
      return kServiceRunning;
    case TCurrentStatus::csContinuePending:
      return kServiceContinuePending;
    case TCurrentStatus::csPausePending:
      return kServicePausePending;
    case TCurrentStatus::csPaused:
      return kServicePaused;
  }
  return kServiceStopped;
}

bool IsPending(TCurrentStatus status) {
  return status == TCurrentStatus::csStartPending || status == TCurrentStatus::csStopPending ||
         status == TCurrentStatus::csContinuePending || status == TCurrentStatus::csPausePending;
}

}  // namespace

TCurrentStatus TService::Status() const {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return FStatus;
}

void TService::SetStatus(TCurrentStatus Value) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  FStatus = Value;
  ReportStatusLocked(false);
}

void TService::ReportStatus() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  ReportStatusLocked(false);
}

void TService::ReportProgress() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  if (IsPending(FStatus)) ReportStatusLocked(true);
}

void TService::ReportStatusLocked(bool Progress) {
  ServiceStatusRecord record{};
  record.wait_hint = WaitHint;
  record.service_type = GetNTServiceType();
  record.controls_accepted =
      FStatus == TCurrentStatus::csStartPending ? 0 : GetNTControlsAccepted();
  // A status report counts a repeated pending status 1 (the record starts
  // from zeros); a progress report counts on from the last check point.
  record.check_point =
      Progress ? FCheckPoint + 1 : (IsPending(FStatus) && FStatus == FLastStatus ? 1 : 0);
  FCheckPoint = record.check_point;
  FLastStatus = FStatus;
  record.current_state = PlatformState(FStatus);
  record.win32_exit_code = ErrCode != 0 ? kErrorServiceSpecificError : Win32ErrCode;
  record.service_specific_exit_code = ErrCode;
  if (!FStatusHandle) return;
  std::string error_text;
  if (!FStatusHandle->SetStatus(record, &error_text)) LogMessage(error_text);
}

uint32_t TService::GetNTServiceType() const {
  switch (ServiceType) {
    case TServiceType::stDevice:
      return 1;
    case TServiceType::stFileSystem:
      return 2;
    case TServiceType::stWin32:
      break;
  }
  uint32_t type = shared_process_ ? 0x20 : 0x10;
  if (Interactive) type |= 0x100;
  return type;
}

uint32_t TService::GetNTStartType() const {
  switch (StartType) {
    case TStartType::stBoot:
      return ServiceType == TServiceType::stDevice ? 0 : kStartTypeAuto;
    case TStartType::stSystem:
      return ServiceType == TServiceType::stDevice ? 1 : kStartTypeAuto;
    case TStartType::stAuto:
      return kStartTypeAuto;
    case TStartType::stManual:
      return 3;
    case TStartType::stDisabled:
      return 4;
  }
  return kStartTypeAuto;
}

uint32_t TService::GetNTErrorSeverity() const {
  switch (ErrorSeverity) {
    case TErrorSeverity::esIgnore:
      return 0;
    case TErrorSeverity::esNormal:
      return 1;
    case TErrorSeverity::esSevere:
      return 2;
    case TErrorSeverity::esCritical:
      return 3;
  }
  return 1;
}

uint32_t TService::GetNTControlsAccepted() const {
  uint32_t accepted = 4;  // shutdown
  if (AllowStop) accepted |= 1;
  if (AllowPause) accepted |= 2;
  return accepted;
}

void TService::Install(ServiceManagerConnection& manager, const std::string& executable_path) {
  manager.InstallService(InstallRequest(executable_path));
}

ServiceInstallRequest TService::InstallRequest(const std::string& executable_path) const {
  ServiceInstallRequest request;
  request.name = Name;
  request.display_name = DisplayName.empty() ? Name : DisplayName;
  request.service_type = GetNTServiceType();
  request.start_type = GetNTStartType();
  request.error_control = GetNTErrorSeverity();
  request.binary_path = executable_path.find(' ') != std::string::npos
                            ? "\"" + executable_path + "\""
                            : executable_path;
  request.restart_delay_ms = RestartDelayMs;
  request.failure_reset_period_s = FailureResetPeriodSec;
  request.stop_timeout_s = StopTimeoutSec;
  return request;
}

void TService::Uninstall(ServiceManagerConnection& manager) { manager.RemoveService(Name); }

std::string FormatServiceFailed(const std::string& action, const std::string& message) {
  return FillMessage(kMsgServiceFailed, {action, message});
}

std::string FormatCustomError(uint32_t code, const std::string& message) {
  return FillMessage(kMsgServiceCustomError, {std::to_string(static_cast<int32_t>(code)), message});
}

}  // namespace tolvenar
