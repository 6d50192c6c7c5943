// The Linux executable in service mode, as systemd and the user see it:
// READY=1 after the start, SIGTERM as the stop request, a failed start, and
// a start outside systemd.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "env/posix/notify_socket.h"
#include "env/posix/syslog_capture.h"
#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Nothing listens on port 9: the worker fails its enrollment exchange, logs
// it and pauses one second, again and again.
constexpr const char* kUsableProfile =
    "[Connector]\nServidor=http://127.0.0.1:9\nPermitirHTTPInseguro=1\n"
    "IntervaloConsultaMS=1000\nCodigoVinculacao=abc\nCNPJ=12345678000190\n";

class SystemdServiceE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = testing::ConnectorTargets().front();
    if (!target_.available()) GTEST_SKIP() << "Linux build not present";
    target_.InstallInto(dir_);
    // The children get only the notify socket each test gives them.
    unsetenv("NOTIFY_SOCKET");
  }
  // Events the process `pid` sent to syslog: "<27>" is daemon.err.
  std::vector<std::string> EventsOf(const std::vector<std::string>& messages, int pid) {
    std::vector<std::string> events;
    const std::string tag = "TolvenarConnector[" + std::to_string(pid) + "]: ";
    for (const std::string& m : messages) {
      const size_t at = m.find(tag);
      if (at == std::string::npos) continue;
      EXPECT_EQ(m.rfind("<27>", 0), 0u) << m;
      events.push_back(m.substr(at + tag.size()));
    }
    return events;
  }
  size_t LogLines() {
    const std::filesystem::path log = dir_.path() / "TolvenarConnector.log";
    if (!std::filesystem::exists(log)) return 0;
    const std::string text = dir_.Read("TolvenarConnector.log");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  testing::ConnectorTarget target_;
  testing::TempDir dir_;
};

TEST_F(SystemdServiceE2ETest, ReadyAfterStartAndSigtermStopsWithExitZero) {
  dir_.Write("TolvenarConnector.ini", kUsableProfile);
  const std::string name = testing::UniqueSocketName(true, dir_.Dir());
  testing::NotifySocket socket(name);
  testing::Process process(target_.Command(dir_, {}), dir_.Dir(), {"NOTIFY_SOCKET=" + name});
  ASSERT_EQ(socket.Receive(60s), "READY=1");
  // The worker runs: its failures reach the activity log, one per second.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (LogLines() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GE(LogLines(), 2u);
  EXPECT_THAT(dir_.Read("TolvenarConnector.log"),
              HasSubstr("[12345678000190] Falha de comunicacao: "));
  ASSERT_EQ(kill(process.pid(), SIGTERM), 0);
  EXPECT_EQ(socket.Receive(60s), "STOPPING=1");
  const testing::ProcessResult result = process.Wait(60s);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  // A stop that outlasts the progress interval asks for more time; nothing
  // else follows.
  for (std::string more = socket.Receive(100ms); !more.empty(); more = socket.Receive(100ms)) {
    EXPECT_EQ(more, "EXTEND_TIMEOUT_USEC=5000000");
  }
}

TEST_F(SystemdServiceE2ETest, FailedStartWritesItsEventAndEndsWithoutReady) {
  testing::SyslogCapture syslog;
  const std::string name = testing::UniqueSocketName(false, dir_.Dir());
  testing::NotifySocket socket(name);
  testing::Process process(target_.Command(dir_, {}), dir_.Dir(), {"NOTIFY_SOCKET=" + name});
  const testing::ProcessResult result = process.Wait(60s);
  // A failure, so that systemd shows the unit failed; the status the unit
  // exempts from restarts.
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(socket.Receive(100ms), "");
  if (!syslog.available()) GTEST_SKIP() << "syslog is served by the system";
  EXPECT_EQ(EventsOf(syslog.Drain(1s), process.pid()),
            std::vector<std::string>{"Falha ao iniciar o Connector: Nenhuma conexao configurada "
                                     "em TolvenarConnector.ini."});
}

TEST_F(SystemdServiceE2ETest, UninstallOfAServiceThatIsNotInstalledExitsOne) {
  // Touches nothing: the unit it would remove does not exist.
  if (std::filesystem::exists("/etc/systemd/system/TolvenarConnector.service")) {
    GTEST_SKIP() << "the service is installed on this machine";
  }
  testing::Process process(target_.Command(dir_, {"-uninstall"}), dir_.Dir(), {});
  const testing::ProcessResult result = process.Wait(60s);
  EXPECT_EQ(result.exit_code, 1);
  if (access("/etc/systemd/system", W_OK) == 0) {
    EXPECT_EQ(result.out,
              "Service \"T\xC3\xB3lvenar Connector\" failed to uninstall with error: \"System "
              "Error.  Code: 2.\r\nNo such file or directory\"\r\n");
  } else {
    // The unit folder cannot be opened: the unhandled-error report.
    EXPECT_THAT(result.err, HasSubstr("Exception EOSError in module "));
  }
}

// Started by hand, outside any systemd unit, service mode cannot run: the
// usage on standard error, exit code 1, and the failed connection's event.
TEST_F(SystemdServiceE2ETest, OutsideSystemdShowsTheUsageWritesOneEventAndExitsOne) {
  testing::SyslogCapture syslog;
  dir_.Write("TolvenarConnector.ini", kUsableProfile);
  // The word without a prefix is no switch: service mode.
  testing::Process process(target_.Command(dir_, {"console"}), dir_.Dir(),
                           {"NOTIFY_SOCKET=", "INVOCATION_ID="});
  const testing::ProcessResult result = process.Wait(60s);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("Uso: "));
  EXPECT_THAT(result.err, HasSubstr("-check"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "TolvenarConnector.log"));
  if (!syslog.available()) GTEST_SKIP() << "syslog is served by the system";
  EXPECT_EQ(EventsOf(syslog.Drain(1s), process.pid()),
            std::vector<std::string>{"Transport endpoint is not connected"});
}

}  // namespace
}  // namespace tolvenar
