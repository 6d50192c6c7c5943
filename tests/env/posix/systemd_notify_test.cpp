// The notify protocol: datagrams to a path or an abstract socket name, and
// the status reports that become notify messages.
#include <gtest/gtest.h>

#include <chrono>

#include "env/posix/notify_socket.h"
#include "env/posix/service_posix.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;

TEST(SystemdNotifyTest, SendsOneDatagramToAPathOrAnAbstractName) {
  testing::TempDir dir;
  for (bool abstract : {false, true}) {
    const std::string name = testing::UniqueSocketName(abstract, dir.Dir());
    testing::NotifySocket socket(name);
    int error = 0;
    ASSERT_TRUE(SendNotify(name, "READY=1", &error)) << name << " " << error;
    EXPECT_EQ(socket.Receive(10s), "READY=1") << name;
  }
}

TEST(SystemdNotifyTest, UnreachableOrInvalidNamesFailWithTheirError) {
  testing::TempDir dir;
  const std::pair<std::string, int> cases[] = {
      {dir.Dir() + "nobody-listens", ENOENT},
      {"relative/name", EINVAL},
      {"", EINVAL},
      {"/" + std::string(200, 'x'), EINVAL},
  };
  for (const auto& [name, expected] : cases) {
    int error = 0;
    EXPECT_FALSE(SendNotify(name, "READY=1", &error)) << name;
    EXPECT_EQ(error, expected) << name;
  }
}

TEST(SystemdNotifyTest, RunningAndStopPendingBecomeReadyAndStopping) {
  // The status handle of a service run by systemd, through the dispatcher.
  testing::TempDir dir;
  const std::string name = testing::UniqueSocketName(true, dir.Dir());
  testing::NotifySocket socket(name);
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  PosixServicePlatform platform;
  std::vector<std::string> sent_errors;
  const uint32_t result = platform.RunDispatcher(
      {"Svc"},
      [&](const std::vector<std::string>& args) {
        EXPECT_EQ(args, std::vector<std::string>{"Svc"});
        std::string error;
        auto handle = platform.RegisterControlHandler("Svc", nullptr, &error);
        ASSERT_NE(handle, nullptr);
        for (uint32_t state : {kServiceStartPending, kServiceRunning, kServicePausePending,
                               kServicePaused, kServiceStopPending, kServiceStopped}) {
          ServiceStatusRecord record;
          record.current_state = state;
          EXPECT_TRUE(handle->SetStatus(record, &error)) << error;
        }
      },
      nullptr);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(socket.Receive(10s), "READY=1");
  EXPECT_EQ(socket.Receive(10s), "STOPPING=1");
  EXPECT_EQ(socket.Receive(100ms), "");
}

TEST(SystemdNotifyTest, StopStillUnderWayAsksForTheWaitHintMore) {
  // Stop pending with check point 0 is the stop's start; each later one
  // extends systemd's stop time-out by the wait hint.
  testing::TempDir dir;
  const std::string name = testing::UniqueSocketName(true, dir.Dir());
  testing::NotifySocket socket(name);
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  PosixServicePlatform platform;
  platform.RunDispatcher(
      {"Svc"},
      [&](const std::vector<std::string>&) {
        std::string error;
        auto handle = platform.RegisterControlHandler("Svc", nullptr, &error);
        ASSERT_NE(handle, nullptr);
        for (uint32_t check_point : {0u, 1u, 2u}) {
          ServiceStatusRecord record;
          record.current_state = kServiceStopPending;
          record.check_point = check_point;
          record.wait_hint = 5000;
          EXPECT_TRUE(handle->SetStatus(record, &error)) << error;
        }
      },
      nullptr);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(socket.Receive(10s), "STOPPING=1");
  EXPECT_EQ(socket.Receive(10s), "EXTEND_TIMEOUT_USEC=5000000");
  EXPECT_EQ(socket.Receive(10s), "EXTEND_TIMEOUT_USEC=5000000");
  EXPECT_EQ(socket.Receive(100ms), "");
}

TEST(SystemdNotifyTest, WithoutNotifySocketTheDispatcherFailsAtOnce) {
  unsetenv("NOTIFY_SOCKET");
  PosixServicePlatform platform;
  bool ran = false;
  EXPECT_EQ(platform.RunDispatcher(
                {"Svc"}, [&](const std::vector<std::string>&) { ran = true; }, nullptr),
            static_cast<uint32_t>(ENOTCONN));
  EXPECT_FALSE(ran);
  EXPECT_EQ(platform.ErrorText(ENOTCONN), "Transport endpoint is not connected");
}

TEST(SystemdNotifyTest, ReportToAVanishedSocketFailsWithThePlatformText) {
  testing::TempDir dir;
  const std::string name = dir.Dir() + "gone";
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  PosixServicePlatform platform;
  platform.RunDispatcher(
      {"Svc"},
      [&](const std::vector<std::string>&) {
        std::string error;
        auto handle = platform.RegisterControlHandler("Svc", nullptr, &error);
        ServiceStatusRecord record;
        record.current_state = kServiceRunning;
        EXPECT_FALSE(handle->SetStatus(record, &error));
        EXPECT_EQ(error, "No such file or directory");
      },
      nullptr);
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace tolvenar
