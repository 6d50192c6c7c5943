// The values a service object passes to the platform, and the fields of its
// status reports.
#include <gtest/gtest.h>

#include "host/fake_service_platform.h"
#include "host/service.h"

namespace tolvenar {
namespace {

using testing::FakeServicePlatform;

class PlainService : public TService {
 public:
  using TService::TService;
  ControlHandlerFn GetServiceController() override { return nullptr; }
};

TEST(ServiceSettingsTest, DefaultsAreAnAutomaticOwnProcessServiceAcceptingAllControls) {
  FakeServicePlatform platform;
  PlainService service(platform);
  EXPECT_EQ(service.GetNTServiceType(), 0x10u);
  EXPECT_EQ(service.GetNTStartType(), 2u);
  EXPECT_EQ(service.GetNTErrorSeverity(), 1u);
  EXPECT_EQ(service.GetNTControlsAccepted(), 7u);
  EXPECT_EQ(service.WaitHint, 5000u);
}

struct TypeCase {
  TServiceType type;
  bool interactive, shared;
  uint32_t expected;
};

TEST(ServiceSettingsTest, ServiceTypeRule) {
  const TypeCase cases[] = {
      {TServiceType::stWin32, false, false, 0x10}, {TServiceType::stWin32, true, false, 0x110},
      {TServiceType::stWin32, false, true, 0x20},  {TServiceType::stWin32, true, true, 0x120},
      {TServiceType::stDevice, true, true, 0x1},   {TServiceType::stFileSystem, false, true, 0x2},
  };
  FakeServicePlatform platform;
  for (const TypeCase& c : cases) {
    PlainService service(platform);
    service.ServiceType = c.type;
    service.Interactive = c.interactive;
    service.SetSharedProcess(c.shared);
    EXPECT_EQ(service.GetNTServiceType(), c.expected)
        << static_cast<int>(c.type) << " " << c.interactive << " " << c.shared;
  }
}

struct StartCase {
  TStartType start;
  TServiceType type;
  uint32_t expected;
};

TEST(ServiceSettingsTest, BootAndSystemStartBecomeAutomaticExceptForDevices) {
  const StartCase cases[] = {
      {TStartType::stBoot, TServiceType::stWin32, 2},
      {TStartType::stSystem, TServiceType::stFileSystem, 2},
      {TStartType::stBoot, TServiceType::stDevice, 0},
      {TStartType::stSystem, TServiceType::stDevice, 1},
      {TStartType::stAuto, TServiceType::stWin32, 2},
      {TStartType::stManual, TServiceType::stWin32, 3},
      {TStartType::stDisabled, TServiceType::stDevice, 4},
  };
  FakeServicePlatform platform;
  for (const StartCase& c : cases) {
    PlainService service(platform);
    service.StartType = c.start;
    service.ServiceType = c.type;
    EXPECT_EQ(service.GetNTStartType(), c.expected) << static_cast<int>(c.start);
  }
}

TEST(ServiceSettingsTest, ErrorControlAndControlsAccepted) {
  FakeServicePlatform platform;
  PlainService service(platform);
  const std::pair<TErrorSeverity, uint32_t> severities[] = {{TErrorSeverity::esIgnore, 0},
                                                            {TErrorSeverity::esNormal, 1},
                                                            {TErrorSeverity::esSevere, 2},
                                                            {TErrorSeverity::esCritical, 3}};
  for (const auto& [severity, expected] : severities) {
    service.ErrorSeverity = severity;
    EXPECT_EQ(service.GetNTErrorSeverity(), expected);
  }
  service.AllowStop = false;
  EXPECT_EQ(service.GetNTControlsAccepted(), 6u);
  service.AllowPause = false;
  EXPECT_EQ(service.GetNTControlsAccepted(), 4u);
  service.AllowStop = true;
  EXPECT_EQ(service.GetNTControlsAccepted(), 5u);
}

TEST(ServiceStatusTest, CheckPointIsOneOnlyForARepeatedPendingStatus) {
  struct Step {
    TCurrentStatus status;
    uint32_t state, check_point;
  };
  const Step steps[] = {
      {TCurrentStatus::csStartPending, 2, 1},  // the status before the first counts as start
                                               // pending
      {TCurrentStatus::csStartPending, 2, 1},
      {TCurrentStatus::csRunning, 4, 0},
      {TCurrentStatus::csRunning, 4, 0},
      {TCurrentStatus::csPausePending, 6, 0},
      {TCurrentStatus::csPausePending, 6, 1},
      {TCurrentStatus::csPausePending, 6, 1},
      {TCurrentStatus::csPaused, 7, 0},
      {TCurrentStatus::csPaused, 7, 0},
      {TCurrentStatus::csContinuePending, 5, 0},
      {TCurrentStatus::csContinuePending, 5, 1},
      {TCurrentStatus::csStopPending, 3, 0},
      {TCurrentStatus::csStopPending, 3, 1},
      {TCurrentStatus::csStopped, 1, 0},
      {TCurrentStatus::csStopped, 1, 0},
  };
  FakeServicePlatform platform;
  PlainService service(platform);
  service.Name = "S";
  // The service main function with a start handler that plays the steps.
  service.OnStart = [&](TService* sender, bool& started) {
    const size_t before = platform.Records().size();
    for (const Step& step : steps) sender->SetStatus(step.status);
    const std::vector<ServiceStatusRecord> records = platform.Records();
    ASSERT_EQ(records.size(), before + std::size(steps));
    for (size_t i = 0; i < std::size(steps); ++i) {
      const ServiceStatusRecord& r = records[before + i];
      EXPECT_EQ(r.current_state, steps[i].state) << i;
      EXPECT_EQ(r.check_point, steps[i].check_point) << i;
      EXPECT_EQ(r.controls_accepted, steps[i].state == 2 ? 0u : 7u) << i;
      EXPECT_EQ(r.service_type, 0x10u);
      EXPECT_EQ(r.wait_hint, 5000u);
    }
    started = false;
  };
  service.Main({"S"});
}

TEST(ServiceStatusTest, FirstReportOfTheProcessIsStartPendingWithCheckPointOne) {
  FakeServicePlatform platform;
  PlainService service(platform);
  service.OnStart = [](TService*, bool& started) { started = false; };
  service.Main({"S"});
  const std::vector<ServiceStatusRecord> records = platform.Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].current_state, 2u);
  EXPECT_EQ(records[0].check_point, 1u);
  EXPECT_EQ(records[0].controls_accepted, 0u);
}

TEST(ServiceStatusTest, ServiceSpecificErrorCodeSetsWin32CodeTo1066) {
  struct Codes {
    uint32_t win32, specific, reported_win32;
  };
  const Codes cases[] = {{0, 0, 0}, {5, 0, 5}, {0, 42, 1066}, {5, 42, 1066}};
  for (const Codes& c : cases) {
    FakeServicePlatform platform;
    PlainService service(platform);
    service.Win32ErrCode = c.win32;
    service.ErrCode = c.specific;
    service.OnStart = [](TService*, bool& started) { started = false; };
    service.Main({"S"});
    const ServiceStatusRecord last = platform.Records().back();
    EXPECT_EQ(last.win32_exit_code, c.reported_win32);
    EXPECT_EQ(last.service_specific_exit_code, c.specific);
  }
}

}  // namespace
}  // namespace tolvenar
