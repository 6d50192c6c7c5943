// The service main function and the service thread: the exact status
// reports of each life of a service, and control requests processed one at
// a time on the service thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "host/fake_service_platform.h"
#include "host/service.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using testing::Event;
using testing::FakeServicePlatform;
using ::testing::IsEmpty;
using testing::Report;

// (state, check point, controls accepted)
const Report kStartPending{kServiceStartPending, 1, 0};
const Report kRunning{kServiceRunning, 0, 7};
const Report kStopPending{kServiceStopPending, 0, 7};
const Report kStopPendingAgain{kServiceStopPending, 1, 7};
const Report kStopped{kServiceStopped, 0, 7};
const Report kPausePending{kServicePausePending, 0, 7};
const Report kPaused{kServicePaused, 0, 7};
const Report kContinuePending{kServiceContinuePending, 0, 7};

class TestService : public TService {
 public:
  explicit TestService(ServicePlatform& platform) : TService(platform) {
    Name = "TestService";
    current = this;
  }
  ~TestService() override { current = nullptr; }
  ControlHandlerFn GetServiceController() override { return &Handler; }
  bool DoCustomControl(uint32_t code) override {
    if (custom_error) throw Exception("boom");
    return TService::DoCustomControl(code);
  }
  bool custom_error = false;

 private:
  static void Handler(uint32_t code) {
    if (current) current->Controller(code);
  }
  static inline TestService* current = nullptr;
};

// Runs the service main function on a thread of its own, as the platform
// does, and plays the service manager's part.
class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest() : service_(platform_) {
    // Exact report sequences: no progress reports unless a test asks.
    service_.ProgressInterval = std::chrono::hours(1);
  }
  ~ServiceControlTest() override {
    if (main_.joinable()) main_.join();
  }

  void StartMain() {
    main_ = std::thread([this] { service_.Main({"TestService", "arg"}); });
  }
  // Waits until `count` reports were made, then sends `code`.
  void SendAfter(size_t count, uint32_t code) {
    ASSERT_TRUE(platform_.WaitForReports(count));
    ASSERT_NE(platform_.handler, nullptr);
    platform_.handler(code);
  }
  void JoinMain() { main_.join(); }

  FakeServicePlatform platform_;
  TestService service_;
  std::thread main_;
};

TEST_F(ServiceControlTest, SuccessfulStartThenStop) {
  int starts = 0, stops = 0;
  service_.OnStart = [&](TService*, bool&) { ++starts; };
  service_.OnStop = [&](TService*, bool&) { ++stops; };
  StartMain();
  SendAfter(3, kControlStop);
  JoinMain();
  EXPECT_THAT(platform_.Reports(),
              ElementsAre(kStartPending, kStartPending, kRunning, kStopPending, kStopped));
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(platform_.registered_name, "TestService");
  EXPECT_EQ(service_.Params(), (std::vector<std::string>{"TestService", "arg"}));
  EXPECT_THAT(platform_.Events(), IsEmpty());
}

TEST_F(ServiceControlTest, FailedStartReportsStoppedWithExitCodesZero) {
  service_.OnStart = [&](TService*, bool& started) { started = false; };
  StartMain();
  JoinMain();
  EXPECT_THAT(platform_.Reports(), ElementsAre(kStartPending, kStartPending, kStopped));
  const ServiceStatusRecord stopped = platform_.Records().back();
  EXPECT_EQ(stopped.win32_exit_code, 0u);
  EXPECT_EQ(stopped.service_specific_exit_code, 0u);
}

TEST_F(ServiceControlTest, ShutdownCallsItsHandlerAndStops) {
  int shutdowns = 0, stops = 0;
  service_.OnShutdown = [&](TService*) { ++shutdowns; };
  service_.OnStop = [&](TService*, bool&) { ++stops; };
  StartMain();
  SendAfter(3, kControlShutdown);
  JoinMain();
  EXPECT_THAT(platform_.Reports(),
              ElementsAre(kStartPending, kStartPending, kRunning, kStopPending, kStopped));
  EXPECT_EQ(shutdowns, 1);
  EXPECT_EQ(stops, 0);
}

TEST_F(ServiceControlTest, PauseContinueInterrogateThenStopWhilePaused) {
  StartMain();
  SendAfter(3, kControlPause);
  SendAfter(5, kControlContinue);
  SendAfter(7, kControlInterrogate);
  SendAfter(8, kControlPause);
  // The thread is suspended now; the stop resumes it.
  SendAfter(10, kControlStop);
  JoinMain();
  EXPECT_THAT(
      platform_.Reports(),
      ElementsAre(kStartPending, kStartPending, kRunning, kPausePending, kPaused, kContinuePending,
                  kRunning, kRunning, kPausePending, kPaused, kStopPending, kStopped));
}

TEST_F(ServiceControlTest, PauseSuspendsOnlyTheServiceThread) {
  // A thread the service starts itself keeps running while it is paused.
  std::mutex mutex;
  std::condition_variable ticked;
  int ticks = 0;
  bool stop_worker = false;
  std::thread worker;
  service_.OnStart = [&](TService*, bool&) {
    worker = std::thread([&] {
      std::unique_lock<std::mutex> lock(mutex);
      while (!stop_worker) {
        ++ticks;
        ticked.notify_all();
        ticked.wait(lock);
      }
    });
  };
  service_.OnStop = [&](TService*, bool&) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop_worker = true;
      ticked.notify_all();
    }
    worker.join();
  };
  StartMain();
  SendAfter(3, kControlPause);
  ASSERT_TRUE(platform_.WaitForReports(5));
  {
    std::unique_lock<std::mutex> lock(mutex);
    const int before = ticks;
    ticked.notify_all();
    EXPECT_TRUE(ticked.wait_for(lock, std::chrono::seconds(30), [&] { return ticks > before; }));
  }
  platform_.handler(kControlStop);
  JoinMain();
  EXPECT_EQ(platform_.Reports().back(), kStopped);
}

TEST_F(ServiceControlTest, RequestsQueuedBehindAStopRunAfterItWithoutWaiting) {
  // The first stop waits in its handler; an interrogate and a second stop
  // arrive meanwhile and are processed after it, in order.
  std::mutex mutex;
  std::condition_variable released_cv;
  bool released = false;
  int stops = 0;
  service_.OnStop = [&](TService*, bool&) {
    ++stops;
    if (stops > 1) return;
    std::unique_lock<std::mutex> lock(mutex);
    released_cv.wait(lock, [&] { return released; });
  };
  StartMain();
  SendAfter(3, kControlStop);
  SendAfter(4, kControlInterrogate);
  platform_.handler(kControlStop);
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  released_cv.notify_all();
  JoinMain();
  EXPECT_THAT(platform_.Reports(), ElementsAre(kStartPending, kStartPending, kRunning, kStopPending,
                                               kStopPendingAgain, kStopPendingAgain, kStopped));
  EXPECT_EQ(stops, 2);
}

TEST_F(ServiceControlTest, DeclinedStopReportsThePreviousStatusAgain) {
  int stops = 0;
  service_.OnStop = [&](TService*, bool& stopped) {
    ++stops;
    stopped = stops > 1;
  };
  StartMain();
  SendAfter(3, kControlStop);
  SendAfter(5, kControlStop);
  JoinMain();
  EXPECT_THAT(platform_.Reports(), ElementsAre(kStartPending, kStartPending, kRunning, kStopPending,
                                               kRunning, kStopPending, kStopped));
}

struct RaisingCase {
  const char* name;
  uint32_t code;
  std::vector<Report> reports_after_running;
  const char* event;
};

class RaisingHandlerTest : public ServiceControlTest,
                           public ::testing::WithParamInterface<RaisingCase> {};

TEST_P(RaisingHandlerTest, ReportsAgainWritesAnEventAndGoesOn) {
  const RaisingCase& c = GetParam();
  std::atomic<bool> raise{true};
  service_.OnStop = [&](TService*, bool&) {
    if (raise) throw Exception("boom");
  };
  service_.OnPause = [&](TService*, bool&) { throw Exception("boom"); };
  service_.OnContinue = [&](TService*, bool&) { throw Exception("boom"); };
  service_.OnShutdown = [&](TService*) { throw Exception("boom"); };
  service_.custom_error = true;
  StartMain();
  SendAfter(3, c.code);
  const size_t after = 3 + c.reports_after_running.size();
  if (c.code != kControlShutdown) {
    // Processing went on: a later stop still works.
    ASSERT_TRUE(platform_.WaitForReports(after));
    raise = false;
    platform_.handler(kControlStop);
  }
  JoinMain();
  std::vector<Report> reports = platform_.Reports();
  ASSERT_GE(reports.size(), after);
  EXPECT_EQ(std::vector<Report>(reports.begin() + 3, reports.begin() + after),
            c.reports_after_running);
  EXPECT_EQ(reports.back(), kStopped);
  const std::vector<Event> events = platform_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, c.event);
  EXPECT_EQ(events[0].source, "TestService");
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].id, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, RaisingHandlerTest,
    ::testing::Values(
        RaisingCase{"Stop", kControlStop, {kStopPending, kRunning}, "Service failed on stop: boom"},
        RaisingCase{
            "Pause", kControlPause, {kPausePending, kRunning}, "Service failed on pause: boom"},
        RaisingCase{"Continue",
                    kControlContinue,
                    {kContinuePending, kRunning},
                    "Service failed on continue: boom"},
        RaisingCase{"Shutdown",
                    kControlShutdown,
                    {kStopPending, kStopped},
                    "Service failed on shutdown: boom"},
        RaisingCase{"Custom", 200, {kRunning}, "Service failed in custom message(200): boom"}),
    [](const ::testing::TestParamInfo<RaisingCase>& info) { return info.param.name; });

struct SlowStopCase {
  const char* name;
  uint32_t code;
};

class SlowStopTest : public ServiceControlTest,
                     public ::testing::WithParamInterface<SlowStopCase> {};

TEST_P(SlowStopTest, StopPendingIsReportedAgainWithRisingCheckPointsUntilTheHandlerEnds) {
  // The handler ends only once the service manager has seen the stop
  // pending and three progress reports after it.
  constexpr size_t kProgressReports = 3;
  service_.ProgressInterval = std::chrono::milliseconds(1);
  std::atomic<bool> saw_progress{false};
  const auto slow_handler = [&] { saw_progress = platform_.WaitForReports(4 + kProgressReports); };
  service_.OnStop = [&](TService*, bool&) { slow_handler(); };
  service_.OnShutdown = [&](TService*) { slow_handler(); };
  StartMain();
  SendAfter(3, GetParam().code);
  JoinMain();
  EXPECT_TRUE(saw_progress);
  const std::vector<ServiceStatusRecord> records = platform_.Records();
  ASSERT_GE(records.size(), 5 + kProgressReports);
  EXPECT_EQ(records.back().current_state, kServiceStopped);
  EXPECT_EQ(records.back().check_point, 0u);
  // From the first stop-pending report to the stopped one, and no later:
  // check points 0, 1, 2, ... with the wait hint.
  for (size_t i = 3; i + 1 < records.size(); ++i) {
    EXPECT_EQ(records[i].current_state, kServiceStopPending) << i;
    EXPECT_EQ(records[i].check_point, i - 3) << i;
    EXPECT_EQ(records[i].wait_hint, 5000u) << i;
    EXPECT_EQ(records[i].controls_accepted, 7u) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, SlowStopTest,
                         ::testing::Values(SlowStopCase{"Stop", kControlStop},
                                           SlowStopCase{"Shutdown", kControlShutdown}),
                         [](const ::testing::TestParamInfo<SlowStopCase>& info) {
                           return info.param.name;
                         });

TEST_F(ServiceControlTest, OtherCodesAreHandledWithoutEffect) {
  StartMain();
  SendAfter(3, 128);
  platform_.handler(kControlStop);
  JoinMain();
  EXPECT_THAT(platform_.Reports(),
              ElementsAre(kStartPending, kStartPending, kRunning, kStopPending, kStopped));
  EXPECT_THAT(platform_.Events(), IsEmpty());
}

TEST_F(ServiceControlTest, StartHandlerThatRaisesIsWrittenAsStartFailure) {
  service_.OnStart = [&](TService*, bool&) { throw Exception("no start"); };
  StartMain();
  JoinMain();
  EXPECT_THAT(platform_.Reports(), ElementsAre(kStartPending, kStartPending, kStopped));
  ASSERT_EQ(platform_.Events().size(), 1u);
  EXPECT_EQ(platform_.Events()[0].message, "Service failed on start: no start");
}

TEST_F(ServiceControlTest, HandlerNotRegisteredMeansNoReportAtAll) {
  platform_.register_fails = true;
  int starts = 0;
  service_.OnStart = [&](TService*, bool&) { ++starts; };
  StartMain();
  JoinMain();
  EXPECT_THAT(platform_.Reports(), IsEmpty());
  EXPECT_EQ(starts, 0);
  ASSERT_EQ(platform_.Events().size(), 1u);
  EXPECT_EQ(platform_.Events()[0].message, "handler refused");
  EXPECT_EQ(platform_.Events()[0].source, "TestService");
}

TEST_F(ServiceControlTest, RefusedStatusReportsAreLoggedAndTheServiceGoesOn) {
  platform_.set_status_fails = true;
  StartMain();
  SendAfter(3, kControlStop);
  JoinMain();
  EXPECT_EQ(platform_.Reports().size(), 5u);
  const std::vector<Event> events = platform_.Events();
  ASSERT_EQ(events.size(), 5u);
  for (const Event& e : events) EXPECT_EQ(e.message, "status refused");
}

TEST_F(ServiceControlTest, ControlArrivingDuringTheStartWaitsForRunning) {
  // A stop sent while the start handler runs is processed once it is done.
  service_.OnStart = [&](TService*, bool&) { platform_.handler(kControlStop); };
  StartMain();
  JoinMain();
  EXPECT_THAT(platform_.Reports(),
              ElementsAre(kStartPending, kStartPending, kRunning, kStopPending, kStopped));
}

}  // namespace
}  // namespace tolvenar
