// Install and uninstall on systemd, against a unit folder the test gives.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/exception.h"
#include "env/posix/service_posix.h"
#include "host/connector_service.h"
#include "host/service_application.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;

// The account the tests install for: one that exists on every machine.
std::string ThisAccount() { return getpwuid(geteuid())->pw_name; }

// The unit for /opt/tolvenar/TolvenarConnector run as `account`.
std::string UnitText(const std::string& account) {
  return "[Unit]\n"
         "Description=T\xC3\xB3lvenar Connector\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=/opt/tolvenar/TolvenarConnector\n"
         "User=" +
         account + "\nGroup=" + account +
         "\n"
         "StateDirectory=tolvenar-connector\n"
         "StateDirectoryMode=0700\n"
         "ReadWritePaths=/opt/tolvenar\n"
         "UMask=0077\n"
         "ProtectSystem=strict\n"
         "ProtectHome=yes\n"
         "PrivateTmp=yes\n"
         "PrivateDevices=yes\n"
         "InaccessiblePaths=-/dev/shm\n"
         "PrivateUsers=yes\n"
         "PrivateMounts=yes\n"
         "NoNewPrivileges=yes\n"
         "CapabilityBoundingSet=\n"
         "AmbientCapabilities=\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
         "RestrictNamespaces=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "RemoveIPC=yes\n"
         "KeyringMode=private\n"
         "DevicePolicy=closed\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged @resources\n"
         "SystemCallErrorNumber=EPERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

class SystemdUnitsTest : public ::testing::Test {
 protected:
  SystemdUnitsTest() {
    options_.unit_dir = units_.path().string();
    options_.systemd_run_dir = (units_.path() / "no-systemd").string();
    options_.account = ThisAccount();
    request_.name = "TolvenarConnector";
    request_.display_name = "T\xC3\xB3lvenar Connector";
    request_.service_type = 0x10;
    request_.start_type = 2;
    request_.error_control = 1;
    request_.binary_path = "/opt/tolvenar/TolvenarConnector";
  }
  fs::path Unit() const { return units_.path() / "TolvenarConnector.service"; }
  fs::path Link() const {
    return units_.path() / "multi-user.target.wants" / "TolvenarConnector.service";
  }
  std::string InstallError() {
    try {
      OpenSystemdUnitFolder(options_)->InstallService(request_);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }

  testing::TempDir units_;
  SystemdOptions options_;
  ServiceInstallRequest request_;
};

TEST_F(SystemdUnitsTest, InstallWritesANotifyUnitAndEnablesIt) {
  OpenSystemdUnitFolder(options_)->InstallService(request_);
  EXPECT_EQ(units_.Read("TolvenarConnector.service"), UnitText(ThisAccount()));
  ASSERT_TRUE(fs::is_symlink(Link()));
  EXPECT_EQ(fs::read_symlink(Link()), Unit());
}

TEST_F(SystemdUnitsTest, ExistingUnitIsAnErrorWithThePlatformText) {
  OpenSystemdUnitFolder(options_)->InstallService(request_);
  EXPECT_EQ(InstallError(), "System Error.  Code: 17.\r\nFile exists");
  EXPECT_EQ(units_.Read("TolvenarConnector.service"), UnitText(ThisAccount()));
}

TEST_F(SystemdUnitsTest, MissingAccountIsRefusedBeforeAnyUnitIsWritten) {
  options_.account = "tc-no-such-account";
  EXPECT_EQ(InstallError(),
            "O usuario e o grupo de sistema tc-no-such-account precisam existir; o servico nao "
            "sera instalado para rodar como root. Crie-os com: useradd --system --user-group "
            "--home-dir /var/lib/tolvenar-connector --no-create-home --shell /usr/sbin/nologin "
            "tc-no-such-account");
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
}

TEST_F(SystemdUnitsTest, UnitRunsAsItsAccountAndWritesOnlyItsFolders) {
  options_.account = "tc-account";
  options_.state_directory = "tc-state";
  const std::string text = SystemdUnitText(request_, options_);
  for (const char* line :
       {"\nUser=tc-account\n", "\nGroup=tc-account\n", "\nStateDirectory=tc-state\n",
        "\nReadWritePaths=/opt/tolvenar\n", "\nProtectSystem=strict\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  // Nothing else is made writable, and the service never runs as root.
  EXPECT_EQ(text.find("ReadWritePaths="), text.rfind("ReadWritePaths=")) << text;
  EXPECT_EQ(text.find("User=root"), std::string::npos) << text;
}

TEST_F(SystemdUnitsTest, UninstallRemovesUnitAndLink) {
  OpenSystemdUnitFolder(options_)->InstallService(request_);
  OpenSystemdUnitFolder(options_)->RemoveService("TolvenarConnector");
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
  try {
    OpenSystemdUnitFolder(options_)->RemoveService("TolvenarConnector");
    ADD_FAILURE() << "second uninstall succeeded";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
  }
}

TEST_F(SystemdUnitsTest, DemandStartIsNotEnabled) {
  request_.start_type = 3;
  OpenSystemdUnitFolder(options_)->InstallService(request_);
  EXPECT_TRUE(fs::exists(Unit()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
}

TEST_F(SystemdUnitsTest, SpecifierAndEscapeCharactersAreEscaped) {
  request_.display_name = "100% Connector";
  request_.binary_path = "\"/opt/a b/50%\\x/TolvenarConnector\"";
  const std::string text = SystemdUnitText(request_, options_);
  EXPECT_NE(text.find("Description=100%% Connector\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ExecStart=\"/opt/a b/50%%\\\\x/TolvenarConnector\"\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("ReadWritePaths=\"/opt/a b/50%%\\\\x\"\n"), std::string::npos) << text;
}

TEST_F(SystemdUnitsTest, RecoveryAndStopTimeOutBecomeServiceLines) {
  struct Case {
    uint32_t restart_delay_ms, stop_timeout_s;
    const char* lines;  // between ExecStart and the [Install] section
  };
  const Case cases[] = {
      {60000, 150,
       "Restart=on-failure\nRestartSec=60\nRestartPreventExitStatus=1\nTimeoutStopSec=150\n"},
      {1500, 0, "Restart=on-failure\nRestartSec=1500ms\nRestartPreventExitStatus=1\n"},
      {0, 90, "TimeoutStopSec=90\n"},
      {0, 0, ""},
  };
  for (const Case& c : cases) {
    request_.restart_delay_ms = c.restart_delay_ms;
    request_.failure_reset_period_s = 86400;
    request_.stop_timeout_s = c.stop_timeout_s;
    const std::string exec = "ExecStart=/opt/tolvenar/TolvenarConnector\n";
    std::string expected = UnitText(ThisAccount());
    expected.insert(expected.find(exec) + exec.size(), c.lines);
    EXPECT_EQ(SystemdUnitText(request_, options_), expected)
        << c.restart_delay_ms << " " << c.stop_timeout_s;
  }
}

TEST_F(SystemdUnitsTest, UnusableUnitFolderCannotBeOpened) {
  units_.Write("file", "");
  const std::pair<std::string, std::string> cases[] = {
      {(units_.path() / "missing").string(),
       "System Error.  Code: 2.\r\nNo such file or directory"},
      {units_.File("file"), "System Error.  Code: 20.\r\nNot a directory"},
  };
  for (const auto& [dir, message] : cases) {
    options_.unit_dir = dir;
    try {
      OpenSystemdUnitFolder(options_);
      ADD_FAILURE() << dir;
    } catch (const EOSError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST_F(SystemdUnitsTest, FolderWithoutWriteAccessCannotBeOpened) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
  chmod(units_.path().c_str(), 0555);
  try {
    OpenSystemdUnitFolder(options_);
    ADD_FAILURE() << "opened";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), "System Error.  Code: 13.\r\nPermission denied");
  }
  chmod(units_.path().c_str(), 0755);
}

TEST_F(SystemdUnitsTest, SystemdIsReloadedOnlyWhenRunning) {
  // A stand-in for systemctl that records its arguments.
  const std::string record = units_.File("systemctl.calls");
  const std::string script = units_.File("systemctl");
  units_.Write("systemctl", "#!/bin/sh\necho \"$@\" >> '" + record + "'\n");
  chmod(script.c_str(), 0755);
  options_.systemctl = script;

  OpenSystemdUnitFolder(options_)->InstallService(request_);
  EXPECT_FALSE(fs::exists(record));

  fs::create_directory(options_.systemd_run_dir);
  OpenSystemdUnitFolder(options_)->RemoveService("TolvenarConnector");
  OpenSystemdUnitFolder(options_)->InstallService(request_);
  EXPECT_EQ(units_.Read("systemctl.calls"), "daemon-reload\ndaemon-reload\n");
}

// The host's install and uninstall on the unit folder, as the user sees them.
class SystemdHostTest : public ::testing::Test {
 protected:
  class HostEnv : public testing::FakeEnv {
   public:
    using FakeEnv::FakeEnv;
    std::vector<std::string> CommandLineParams() override { return params; }
    std::string ExecutableName() override { return "TolvenarConnector"; }
    void WriteStdOut(std::string_view text) override { out += text; }
    std::vector<std::string> params;
    std::string out;
  };

  // The output; the exit code in exit_code_.
  std::string Run(std::vector<std::string> params) {
    SystemdOptions options;
    options.unit_dir = unit_dir_;
    options.systemd_run_dir = units_.File("no-systemd");
    options.account = account_;
    env_.params = std::move(params);
    env_.out.clear();
    TServiceApplication app(env_, std::make_unique<PosixServicePlatform>(options));
    app.CreateForm(TolvenarConnectorWindowsService, env_);
    TolvenarConnectorWindowsService->Name = kServiceName;
    exit_code_ = app.Run();
    return env_.out;
  }

  testing::TempDir units_;
  testing::TempDir program_;
  std::string unit_dir_ = units_.path().string();
  std::string account_ = ThisAccount();
  HostEnv env_{program_.Dir()};
  int exit_code_ = -1;
};

TEST_F(SystemdHostTest, InstallTwiceThenUninstallTwice) {
  EXPECT_EQ(Run({"-install"}), "Service installed successfully\r\n");
  EXPECT_EQ(exit_code_, 0);
  const std::string unit = units_.Read("TolvenarConnector.service");
  EXPECT_NE(unit.find("ExecStart=" + program_.Dir() + "TolvenarConnector\n"), std::string::npos)
      << unit;
  EXPECT_EQ(Run({"/INSTALL"}),
            "Service \"T\xC3\xB3lvenar Connector\" failed to install with error: \"System "
            "Error.  Code: 17.\r\nFile exists\"\r\n");
  EXPECT_EQ(exit_code_, 1);
  EXPECT_EQ(Run({"/uninstall", "/silent"}), "");
  EXPECT_EQ(exit_code_, 0);
  EXPECT_FALSE(fs::exists(units_.path() / "TolvenarConnector.service"));
  EXPECT_EQ(Run({"/uninstall"}),
            "Service \"T\xC3\xB3lvenar Connector\" failed to uninstall with error: \"System "
            "Error.  Code: 2.\r\nNo such file or directory\"\r\n");
  EXPECT_EQ(exit_code_, 1);
}

TEST_F(SystemdHostTest, InstalledUnitRestartsAfterACrashOnlyAndOutlastsTheLongestStop) {
  // Longest stop: a 60 s pause, or an exchange of up to 45 s per wait
  // begun just before the stop request; 150 s leaves room for both.
  Run({"-install"});
  const std::string unit = units_.Read("TolvenarConnector.service");
  EXPECT_NE(unit.find("\nRestart=on-failure\nRestartSec=60\nRestartPreventExitStatus=1\n"
                      "TimeoutStopSec=150\n"),
            std::string::npos)
      << unit;
  // A failed start ends with the status the unit exempts from restarts.
  EXPECT_EQ(PosixServicePlatform().ExitCodeAfterStop(1066, 1), 1);
  EXPECT_EQ(PosixServicePlatform().ExitCodeAfterStop(0, 0), 0);
}

TEST_F(SystemdHostTest, InstallWithoutTheServiceAccountFailsAndWritesNothing) {
  account_ = "tc-no-such-account";
  const std::string out = Run({"-install", "-silent"});
  EXPECT_EQ(out.rfind("Service \"T\xC3\xB3lvenar Connector\" failed to install with error: \"O "
                      "usuario e o grupo de sistema tc-no-such-account precisam existir; ",
                      0),
            0u)
      << out;
  EXPECT_EQ(exit_code_, 1);
  EXPECT_FALSE(fs::exists(units_.path() / "TolvenarConnector.service"));
}

TEST_F(SystemdHostTest, SilentInstallPrintsNothing) {
  EXPECT_EQ(Run({"-silent", "-install"}), "");
  EXPECT_TRUE(fs::exists(units_.path() / "TolvenarConnector.service"));
}

TEST_F(SystemdHostTest, UnitFolderThatCannotBeOpenedEndsTheRun) {
  unit_dir_ = units_.File("missing");
  EXPECT_THROW(Run({"-install"}), EOSError);
  EXPECT_EQ(env_.out, "");
}

}  // namespace
}  // namespace tolvenar
