// The service host: install and uninstall with their messages, and the
// dispatch to the service manager.
#include "host/service_application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/exception.h"
#include "host/command_line.h"
#include "host/fake_service_platform.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using testing::FakeServicePlatform;
using ::testing::IsEmpty;

class HostEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  std::vector<std::string> CommandLineParams() override { return params; }
  std::string ExecutableName() override { return "Connector.exe"; }
  void WriteStdOut(std::string_view text) override { out += text; }
  void WriteStdErr(std::string_view text) override { err += text; }
  std::vector<std::string> params;
  std::string out;
  std::string err;
};

class HostedService : public TService {
 public:
  explicit HostedService(ServicePlatform& platform) : TService(platform) {
    Name = "Form";
    DisplayName = "T\xC3\xB3lvenar Svc";
  }
  ControlHandlerFn GetServiceController() override { return nullptr; }
};

HostedService* g_hosted = nullptr;

class ServiceApplicationTest : public ::testing::Test {
 protected:
  ServiceApplicationTest() {
    auto platform = std::make_unique<FakeServicePlatform>();
    platform_ = platform.get();
    app_ = std::make_unique<TServiceApplication>(env_, std::move(platform));
    app_->CreateForm(g_hosted);
    g_hosted->Name = "Svc";
  }
  int Run(std::vector<std::string> params) {
    env_.params = std::move(params);
    return app_->Run();
  }

  testing::TempDir dir_;
  HostEnv env_{dir_.Dir()};
  FakeServicePlatform* platform_;
  std::unique_ptr<TServiceApplication> app_;
};

TEST_F(ServiceApplicationTest, InstallRegistersTheServiceAndSaysSo) {
  Run({"/install"});
  EXPECT_EQ(env_.out, "Service installed successfully\r\n");
  ASSERT_EQ(platform_->installed.size(), 1u);
  const ServiceInstallRequest& r = platform_->installed[0];
  EXPECT_EQ(r.name, "Svc");
  EXPECT_EQ(r.display_name, "T\xC3\xB3lvenar Svc");
  EXPECT_EQ(r.service_type, 0x10u);
  EXPECT_EQ(r.start_type, 2u);
  EXPECT_EQ(r.error_control, 1u);
  EXPECT_EQ(r.binary_path, dir_.Dir() + "Connector.exe");
  EXPECT_EQ(platform_->manager_closed, 1);
  EXPECT_THAT(platform_->dispatched_names, IsEmpty());
}

TEST_F(ServiceApplicationTest, PathWithASpaceIsQuoted) {
  testing::TempDir spaced;
  const std::string dir = spaced.Dir() + "with space/";
  HostEnv env(dir);
  env.params = {"-INSTALL"};
  auto platform = std::make_unique<FakeServicePlatform>();
  FakeServicePlatform* fake = platform.get();
  TServiceApplication app(env, std::move(platform));
  app.CreateForm(g_hosted);
  app.Run();
  ASSERT_EQ(fake->installed.size(), 1u);
  EXPECT_EQ(fake->installed[0].binary_path, "\"" + dir + "Connector.exe\"");
}

TEST_F(ServiceApplicationTest, EmptyDisplayNameRegistersTheName) {
  g_hosted->DisplayName = "";
  Run({"-install"});
  ASSERT_EQ(platform_->installed.size(), 1u);
  EXPECT_EQ(platform_->installed[0].display_name, "Svc");
}

TEST_F(ServiceApplicationTest, SilentInstallAndUninstallPrintNothing) {
  Run({"-install", "/silent"});
  EXPECT_EQ(env_.out, "");
  Run({"/SILENT", "-Uninstall"});
  EXPECT_EQ(env_.out, "");
  EXPECT_THAT(platform_->removed, ElementsAre("Svc"));
}

TEST_F(ServiceApplicationTest, UninstallRemovesTheServiceAndSaysSo) {
  Run({"/uninstall"});
  EXPECT_EQ(env_.out, "Service uninstalled successfully\r\n");
  EXPECT_THAT(platform_->removed, ElementsAre("Svc"));
  EXPECT_THAT(platform_->installed, IsEmpty());
}

TEST_F(ServiceApplicationTest, BothSwitchesOnlyInstall) {
  Run({"/uninstall", "/install"});
  EXPECT_EQ(platform_->installed.size(), 1u);
  EXPECT_THAT(platform_->removed, IsEmpty());
  EXPECT_EQ(env_.out, "Service installed successfully\r\n");
}

struct FailureCase {
  std::vector<std::string> params;
  const char* expected;
};

TEST_F(ServiceApplicationTest, FailuresPrintTheirLineEvenWhenSilent) {
  platform_->install_error = "The specified service already exists.";
  platform_->remove_error = "The specified service does not exist as an installed service.";
  const FailureCase cases[] = {
      {{"-install"},
       "Service \"T\xC3\xB3lvenar Svc\" failed to install with error: \"System Error.  Code: "
       "1073.\r\nThe specified service already exists\"\r\n"},
      {{"-install", "-silent"},
       "Service \"T\xC3\xB3lvenar Svc\" failed to install with error: \"System Error.  Code: "
       "1073.\r\nThe specified service already exists\"\r\n"},
      {{"-uninstall", "-silent"},
       "Service \"T\xC3\xB3lvenar Svc\" failed to uninstall with error: \"System Error.  Code: "
       "1060.\r\nThe specified service does not exist as an installed service\"\r\n"},
  };
  for (const FailureCase& c : cases) {
    env_.out.clear();
    Run(c.params);
    EXPECT_EQ(env_.out, c.expected);
  }
  EXPECT_EQ(platform_->manager_closed, 3);
}

TEST_F(ServiceApplicationTest, ExitCodeIsOneExactlyWhenAnInstallOrUninstallFailed) {
  struct Case {
    std::vector<std::string> params;
    bool fails;
    int exit_code;
  };
  const Case cases[] = {
      {{"-install"}, false, 0},   {{"-install"}, true, 1},   {{"-install", "/silent"}, true, 1},
      {{"-uninstall"}, false, 0}, {{"-uninstall"}, true, 1}, {{"/silent", "-uninstall"}, true, 1},
  };
  for (const Case& c : cases) {
    platform_->install_error = c.fails ? "The specified service already exists." : "";
    platform_->remove_error = c.fails ? "The specified service does not exist." : "";
    env_.params = c.params;
    EXPECT_EQ(app_->Run(), c.exit_code) << ::testing::PrintToString(c.params) << " " << c.fails;
  }
}

TEST_F(ServiceApplicationTest, RunExitsWithWhatThePlatformMakesOfTheStopsExitCodes) {
  struct Case {
    uint32_t win32_code, specific_code;
    std::vector<std::pair<uint32_t, uint32_t>> asked;
    int exit_code;
  };
  const Case cases[] = {
      {0, 0, {}, 0},
      {0, 7, {{1066u, 7u}}, 42},
      {5, 0, {{5u, 0u}}, 42},
  };
  platform_->on_dispatch = [](const ServiceMainFn& main, const LoopErrorFn&) { main({"Svc"}); };
  for (const Case& c : cases) {
    g_hosted->OnStart = [&](TService* service, bool& started) {
      service->Win32ErrCode = c.win32_code;
      service->ErrCode = c.specific_code;
      started = false;
    };
    platform_->stop_exit_codes.clear();
    EXPECT_EQ(app_->Run(), c.exit_code) << c.win32_code << " " << c.specific_code;
    EXPECT_EQ(platform_->stop_exit_codes, c.asked);
  }
}

TEST_F(ServiceApplicationTest, ServiceManagerThatCannotBeOpenedPassesTheErrorOn) {
  platform_->manager_fails = true;
  env_.params = {"-install"};
  EXPECT_THROW(app_->Run(), EOSError);
  EXPECT_EQ(env_.out, "");
}

TEST_F(ServiceApplicationTest, WithoutSwitchesDispatchesAndRunsTheNamedService) {
  int starts = 0;
  g_hosted->OnStart = [&](TService*, bool& started) {
    ++starts;
    started = false;
  };
  platform_->on_dispatch = [](const ServiceMainFn& main, const LoopErrorFn&) {
    main({"NoSuchService"});  // not ours: ignored
    main({"sVC"});            // ours, whatever the case
  };
  Run({"-consoles", "console"});
  EXPECT_THAT(platform_->dispatched_names, ElementsAre("Svc"));
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(platform_->registered_name, "Svc");
  EXPECT_EQ(env_.out, "");
  EXPECT_THAT(platform_->Events(), IsEmpty());
}

TEST_F(ServiceApplicationTest, DispatcherFailureIsOneEventUnderTheExecutableName) {
  platform_->dispatch_result = 5;
  EXPECT_EQ(Run({}), 0);
  const std::vector<testing::Event> events = platform_->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "Connector.exe");
  EXPECT_EQ(events[0].message, "error text 5");
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(env_.out, "");
  EXPECT_EQ(env_.err, "");
}

// Run by hand with a switch it does not know, the program says how it is
// used and fails, instead of ending silently with 0.
TEST_F(ServiceApplicationTest, AnUnknownSwitchOutsideTheServiceManagerShowsTheUsage) {
  platform_->dispatch_result = FakeServicePlatform::kStartedByHandResult;
  for (const std::vector<std::string>& params :
       std::vector<std::vector<std::string>>{{"-chek"}, {"--check"}, {"check"}, {}}) {
    SCOPED_TRACE(params.empty() ? std::string("(none)") : params[0]);
    env_.err.clear();
    EXPECT_EQ(Run(params), 1);
    EXPECT_EQ(env_.err, UsageText("Connector.exe"));
    EXPECT_EQ(env_.out, "");
  }
  EXPECT_THAT(UsageText("Connector.exe"),
              ::testing::StartsWith("Uso: Connector.exe -console | -check | -install"));
}

TEST_F(ServiceApplicationTest, ErrorsOfTheMainLoopGoToTheHostsEventWriter) {
  platform_->on_dispatch = [](const ServiceMainFn&, const LoopErrorFn& on_error) {
    on_error("loop failed");
  };
  Run({});
  const std::vector<testing::Event> events = platform_->Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "Connector.exe");
  EXPECT_EQ(events[0].message, "loop failed");
}

TEST_F(ServiceApplicationTest, InitializeRunsOnceAndFreeingClearsTheReference) {
  app_->Initialize();
  app_->Initialize();
  EXPECT_EQ(platform_->initialized, 1);
  env_.params = {"/Install"};
  EXPECT_TRUE(app_->Installing());
  env_.params = {"/uninstall"};
  EXPECT_TRUE(app_->Installing());
  env_.params = {"install"};
  EXPECT_FALSE(app_->Installing());
  app_.reset();
  EXPECT_EQ(g_hosted, nullptr);
}

}  // namespace
}  // namespace tolvenar
