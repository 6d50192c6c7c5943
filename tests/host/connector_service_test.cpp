// The program's service object: the connector manager between a start and
// a stop or shutdown, and the event of a start that fails.
#include "host/connector_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "connector/manager.h"
#include "host/fake_service_platform.h"
#include "host/service_application.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using testing::FakeServicePlatform;
using ::testing::IsEmpty;
using testing::Report;

// A plain-HTTP server without permission, whose worker logs its refusal
// and ends at once, beside a profile without secret or code, whose worker
// sends nothing and pauses until stopped.
constexpr const char* kUsableProfile =
    "[Connector]\nServidor=http://127.0.0.1:9\nCNPJ=1\n"
    "[Connector_B]\nServidor=https://127.0.0.1:9\nCNPJ=2\n";
constexpr const char* kNoProfileEvent =
    "Falha ao iniciar o Connector: Nenhuma conexao configurada em TolvenarConnector.ini.";

class ConnectorServiceTest : public ::testing::Test {
 protected:
  ConnectorServiceTest() {
    service_.Name = kServiceName;
    // The idle worker's pauses take a moment, not none.
    env_.OnSleep([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  }

  testing::TempDir dir_;
  testing::FakeEnv env_{dir_.Dir()};
  FakeServicePlatform platform_;
  TTolvenarConnectorWindowsService service_{platform_, env_};
};

TEST_F(ConnectorServiceTest, StoredFormHasTheDisplayNameAndTheHostDefaults) {
  TTolvenarConnectorWindowsService fresh(platform_, env_);
  EXPECT_EQ(fresh.DisplayName, "T\xC3\xB3lvenar Connector");
  EXPECT_EQ(fresh.GetNTServiceType(), 0x10u);
  EXPECT_EQ(fresh.GetNTStartType(), 2u);
  EXPECT_EQ(fresh.GetNTErrorSeverity(), 1u);
  EXPECT_EQ(fresh.GetNTControlsAccepted(), 7u);
  EXPECT_EQ(fresh.WaitHint, 5000u);
  EXPECT_FALSE(fresh.OnPause);
  EXPECT_FALSE(fresh.OnContinue);
}

TEST_F(ConnectorServiceTest, StartWithoutProfilesWritesTheEventAndReportsFailure) {
  bool started = true;
  service_.ServiceStart(&service_, started);
  EXPECT_FALSE(started);
  EXPECT_FALSE(service_.HasManager());
  const std::vector<testing::Event> events = platform_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "TolvenarConnector");
  EXPECT_EQ(events[0].message, kNoProfileEvent);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].id, 0u);
}

TEST_F(ConnectorServiceTest, StartRunsTheManagerAndStopFreesIt) {
  dir_.Write("TolvenarConnector.ini", kUsableProfile);
  bool started = false;
  service_.ServiceStart(&service_, started);
  EXPECT_TRUE(started);
  EXPECT_TRUE(service_.HasManager());
  // The worker runs: its refusal reaches the activity log.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(dir_.path() / "TolvenarConnector.log") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(dir_.Read("TolvenarConnector.log").find("Conexao HTTP recusada."), std::string::npos);
  bool stopped = false;
  service_.ServiceStop(&service_, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(service_.HasManager());
  // A stop still queued finds no manager and only reports success.
  stopped = false;
  service_.ServiceStop(&service_, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_THAT(platform_.Events(), IsEmpty());
}

TEST_F(ConnectorServiceTest, ShutdownFreesTheManager) {
  dir_.Write("TolvenarConnector.ini", kUsableProfile);
  bool started = false;
  service_.ServiceStart(&service_, started);
  ASSERT_TRUE(service_.HasManager());
  service_.ServiceShutdown(&service_);
  EXPECT_FALSE(service_.HasManager());
  service_.ServiceShutdown(&service_);
}

// Each start that cannot run anything fails with its reason in the event,
// and the service stops instead of running with nothing to do.
TEST_F(ConnectorServiceTest, StartThatCanRunNothingWritesItsReason) {
  const std::string ini = dir_.File("TolvenarConnector.ini");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[Connector]\nServidor=http://127.0.0.1:9\nCNPJ=1\n",
       "Nenhuma conexao de TolvenarConnector.ini pode iniciar: Conexao HTTP recusada. Ative "
       "HTTPS ou PermitirHTTPInseguro apenas para homologacao."},
      {std::string(1024 * 1024 + 1, ';'),
       "Arquivo " + ini + " maior que 1 MiB (1048577 bytes): nao foi lido."},
  };
  for (const auto& [content, message] : cases) {
    dir_.Write("TolvenarConnector.ini", content);
    const size_t before = platform_.Events().size();
    bool started = true;
    service_.ServiceStart(&service_, started);
    EXPECT_FALSE(started);
    EXPECT_FALSE(service_.HasManager());
    ASSERT_EQ(platform_.Events().size(), before + 1);
    EXPECT_EQ(platform_.Events().back().message, "Falha ao iniciar o Connector: " + message);
    EXPECT_EQ(service_.ErrCode, 1u);
  }
}

class FailingManagerService : public TTolvenarConnectorWindowsService {
 public:
  using TTolvenarConnectorWindowsService::TTolvenarConnectorWindowsService;

 protected:
  std::unique_ptr<TTolvenarConnectorManager> CreateManager() override {
    throw EOSError(5, "Access is denied.");
  }
};

TEST_F(ConnectorServiceTest, ManagerThatCannotBeCreatedIsAStartFailure) {
  FailingManagerService service(platform_, env_);
  service.Name = kServiceName;
  bool started = true;
  service.ServiceStart(&service, started);
  EXPECT_FALSE(started);
  ASSERT_EQ(platform_.Events().size(), 1u);
  EXPECT_EQ(platform_.Events()[0].message,
            "Falha ao iniciar o Connector: System Error.  Code: 5.\r\nAccess is denied");
}

// Whole lives through the host, with the control-handler entry.
class ConnectorServiceLifeTest : public ::testing::Test {
 protected:
  ConnectorServiceLifeTest() {
    auto platform = std::make_unique<FakeServicePlatform>();
    platform_ = platform.get();
    app_ = std::make_unique<TServiceApplication>(env_, std::move(platform));
    app_->CreateForm(TolvenarConnectorWindowsService, env_);
    TolvenarConnectorWindowsService->Name = kServiceName;
    // Exact report sequences: no progress reports unless a test asks.
    TolvenarConnectorWindowsService->ProgressInterval = std::chrono::hours(1);
  }
  ~ConnectorServiceLifeTest() override {
    if (main_.joinable()) main_.join();
  }
  void StartMain() {
    main_ = std::thread([this] { app_->DispatchServiceMain({"TolvenarConnector"}); });
  }

  testing::TempDir dir_;
  testing::FakeEnv env_{dir_.Dir()};
  FakeServicePlatform* platform_;
  std::unique_ptr<TServiceApplication> app_;
  std::thread main_;
};

TEST_F(ConnectorServiceLifeTest, StartWithoutProfilesStopsDuringTheStart) {
  StartMain();
  main_.join();
  EXPECT_THAT(platform_->Reports(), ElementsAre(Report{2, 1, 0}, Report{2, 1, 0}, Report{1, 0, 7}));
  // The service manager sees why: a service-specific failure, code 1.
  const std::vector<ServiceStatusRecord> records = platform_->Records();
  EXPECT_EQ(records[1].win32_exit_code, 0u);
  EXPECT_EQ(records[2].win32_exit_code, 1066u);
  EXPECT_EQ(records[2].service_specific_exit_code, 1u);
  ASSERT_EQ(platform_->Events().size(), 1u);
  EXPECT_EQ(platform_->Events()[0].message, kNoProfileEvent);
  EXPECT_EQ(platform_->Events()[0].source, "TolvenarConnector");
}

TEST(ConnectorServiceExitCodeTest, ProcessExitCodeAfterTheRunComesFromTheStopsExitCodes) {
  struct Case {
    const char* ini;
    // The exit codes the platform is asked about; none after a clean stop.
    std::vector<std::pair<uint32_t, uint32_t>> asked;
    int exit_code;
  };
  const Case cases[] = {
      {nullptr, {{1066u, 1u}}, 42},
      {kUsableProfile, {}, 0},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    testing::FakeEnv env(dir.Dir());
    if (c.ini) dir.Write("TolvenarConnector.ini", c.ini);
    auto owned = std::make_unique<FakeServicePlatform>();
    FakeServicePlatform* platform = owned.get();
    TServiceApplication app(env, std::move(owned));
    app.CreateForm(TolvenarConnectorWindowsService, env);
    TolvenarConnectorWindowsService->Name = kServiceName;
    platform->on_dispatch = [&](const ServiceMainFn& main, const LoopErrorFn&) {
      // The service manager stops a service that started.
      std::thread manager([&] {
        if (platform->WaitForReports(3) && platform->Reports()[2].state == kServiceRunning) {
          platform->handler(kControlStop);
        }
      });
      main({"TolvenarConnector"});
      manager.join();
    };
    EXPECT_EQ(app.Run(), c.exit_code) << (c.ini ? "profile" : "no profile");
    EXPECT_EQ(platform->stop_exit_codes, c.asked);
  }
}

TEST_F(ConnectorServiceLifeTest, SlowStopKeepsReportingStopPendingWithRisingCheckPoints) {
  // The worker's pause lasts until the service manager has seen the stop
  // pending and three progress reports after it; the stop waits for it.
  constexpr size_t kProgressReports = 3;
  dir_.Write("TolvenarConnector.ini",
             "[Connector]\nServidor=http://127.0.0.1:9\nPermitirHTTPInseguro=1\nCNPJ=1\n");
  TolvenarConnectorWindowsService->ProgressInterval = std::chrono::milliseconds(1);
  std::promise<void> paused;
  std::once_flag first_pause;
  env_.OnSleep([&](int) {
    std::call_once(first_pause, [&] { paused.set_value(); });
    platform_->WaitForReports(4 + kProgressReports);
  });
  StartMain();
  ASSERT_TRUE(platform_->WaitForReports(3));
  ASSERT_EQ(platform_->Reports()[2], (Report{4, 0, 7}));
  // The stop comes while the worker is in its pause.
  ASSERT_EQ(paused.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  platform_->handler(kControlStop);
  main_.join();
  const std::vector<ServiceStatusRecord> records = platform_->Records();
  ASSERT_GE(records.size(), 5 + kProgressReports);
  for (size_t i = 3; i + 1 < records.size(); ++i) {
    EXPECT_EQ(records[i].current_state, kServiceStopPending) << i;
    EXPECT_EQ(records[i].check_point, i - 3) << i;
    EXPECT_EQ(records[i].wait_hint, 5000u) << i;
  }
  EXPECT_EQ(records.back().current_state, kServiceStopped);
  EXPECT_EQ(records.back().win32_exit_code, 0u);
  EXPECT_FALSE(TolvenarConnectorWindowsService->HasManager());
}

TEST_F(ConnectorServiceLifeTest, StartThenStopThroughTheControlHandler) {
  dir_.Write("TolvenarConnector.ini", kUsableProfile);
  StartMain();
  ASSERT_TRUE(platform_->WaitForReports(3));
  EXPECT_EQ(platform_->handler, &ControlHandler);
  EXPECT_TRUE(TolvenarConnectorWindowsService->HasManager());
  platform_->handler(kControlPause);
  ASSERT_TRUE(platform_->WaitForReports(5));
  platform_->handler(kControlStop);
  main_.join();
  EXPECT_THAT(platform_->Reports(),
              ElementsAre(Report{2, 1, 0}, Report{2, 1, 0}, Report{4, 0, 7}, Report{6, 0, 7},
                          Report{7, 0, 7}, Report{3, 0, 7}, Report{1, 0, 7}));
  EXPECT_FALSE(TolvenarConnectorWindowsService->HasManager());
  EXPECT_THAT(platform_->Events(), IsEmpty());
}

}  // namespace
}  // namespace tolvenar
