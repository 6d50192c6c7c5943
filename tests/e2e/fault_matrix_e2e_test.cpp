// Faults around a running connector, end to end: each executable (Linux
// natively, Windows under Wine) facing a connection server or local API that
// is down or misbehaves, a damaged stored secret, files it cannot write, and
// a stop request during an exchange. Each case checks that the worker goes
// on, what it logs, and that the enrolled keys stay.
//
// Peers that never answer, or answer past the 35 s / 45 s time-outs, are left
// to the HTTP client tests, which inject short time-outs; here every wait is
// bounded and none outlasts a product time-out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"
#include "support/compression.h"
#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::ConnectorTarget;
using testing::RawHttpServer;
using testing::RawReply;
using testing::RawRequest;
using tools::CommandResult;
using tools::ConnectionServer;
using tools::RouteFault;
using tools::SampleLocalApi;

// Bound of every wait: a Wine start takes a few seconds.
constexpr auto kLimit = 60s;

constexpr const char* kCnpj = "12345678000195";
constexpr const char* kCode = "AB-12CD";
constexpr const char* kNoMapping =
    "No mapping for the Unicode character exists in the target multi-byte code page";

bool Eventually(const std::function<bool()>& ready) {
  const auto end = std::chrono::steady_clock::now() + kLimit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::string IniSection(const std::string& server, const std::string& local_api) {
  return "[Connector]\r\nServidor=" + server +
         "\r\nPermitirHTTPInseguro=1\r\nIntervaloConsultaMS=1000\r\nAPILocal=" + local_api +
         "\r\nCNPJ=" + kCnpj + "\r\nCodigoVinculacao=" + kCode + "\r\n";
}

std::optional<std::string> IniValue(const std::string& ini, const std::string& key) {
  const std::regex line("(^|\n)" + key + "=([^\r\n]*)");
  std::smatch match;
  if (!std::regex_search(ini, match, line)) return std::nullopt;
  return match[2].str();
}

std::string WithValue(const std::string& ini, const std::string& key, const std::string& value) {
  return std::regex_replace(ini, std::regex("(^|\n)" + key + "=[^\r\n]*"),
                            "$1" + key + "=" + value);
}

class FaultMatrixE2ETest : public ::testing::TestWithParam<ConnectorTarget> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " build not present";
    GetParam().InstallInto(dir_);
  }
  void TearDown() override {
    // A failed assertion may leave the program running, or a file locked.
    if (process_) process_->Wait(1ms);
    std::filesystem::permissions(
        dir_.path() / "TolvenarConnector.ini",
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace, ignored_);
  }

  void WriteIni(const std::string& text) { dir_.Write("TolvenarConnector.ini", text); }
  std::string Ini() const { return dir_.Read("TolvenarConnector.ini"); }
  std::string Log() const {
    if (!std::filesystem::is_regular_file(dir_.path() / "TolvenarConnector.log")) return "";
    return dir_.Read("TolvenarConnector.log");
  }
  // How many entries "yyyy-mm-dd hh:nn:ss [cnpj] " + a message starting with
  // `prefix` the log holds.
  size_t LoggedCount(const std::string& prefix) const {
    const std::string log = Log();
    const std::regex entry("(^|\n)\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" +
                           std::string(kCnpj) + "\\] " +
                           std::regex_replace(prefix, std::regex(R"([.()\[\]\\])"), R"(\$&)"));
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(log.begin(), log.end(), entry), std::sregex_iterator()));
  }

  void Start() {
    process_ =
        std::make_unique<testing::Process>(GetParam().Command(dir_, {"-console"}), dir_.Dir());
    ASSERT_TRUE(process_->WaitForOutput("Pressione ENTER para encerrar.", kLimit))
        << process_->out_so_far();
  }
  void Stop() {
    process_->WriteStdIn("\r\n");
    const testing::ProcessResult result = process_->Wait(kLimit);
    process_.reset();
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.err;
  }

  // Enrolls against `server`, stops, and returns the INI as written.
  std::string Enroll(ConnectionServer& server, const std::string& local_api) {
    server.AcceptCode(kCnpj, kCode);
    WriteIni(IniSection(server.BaseURL(), local_api));
    Start();
    EXPECT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
        << Explain(server);
    Stop();
    const std::string ini = Ini();
    EXPECT_NE(IniValue(ini, "ConnectorSecretEnc").value_or(""), "") << ini;
    return ini;
  }

  std::string Explain(const ConnectionServer& server) const {
    return "\n--- log ---\n" + Log() + "--- server ---\n" + server.Report();
  }

  testing::TempDir dir_;
  std::unique_ptr<testing::Process> process_;
  std::error_code ignored_;
};

TEST_P(FaultMatrixE2ETest, ClosedServerPortIsLoggedEachTurnUntilAServerAppears) {
  const int port = testing::UnusedLoopbackPort();
  SampleLocalApi api;
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  WriteIni(IniSection(url, api.BaseURL()));
  const std::string before = Ini();

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] {
    return LoggedCount("Falha de comunicacao: Error sending data: (") >= 2;
  })) << Log();
  EXPECT_EQ(Ini(), before);

  // The same port now answers: the next turn enrolls there.
  tools::ListenOptions options;
  options.port = port;
  ConnectionServer server(options);
  server.AcceptCode(kCnpj, kCode);
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  Stop();
  EXPECT_EQ(server.Enrollments().size(), 1u);
  EXPECT_EQ(IniValue(Ini(), "CodigoVinculacao"), "");
}

// A hostile connection server's answer to every request after enrollment,
// and the log line it must give ("" for none).
struct PollFault {
  const char* name;
  std::function<RawReply(const RawRequest&)> reply;
  std::string logged;
};

std::string LongText() {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "{\"command\":null,\"n\":" + std::to_string(i) + "}";
  return text;
}

std::vector<PollFault> PollFaults() {
  return {
      {"NotJson", [](const RawRequest&) { return RawReply::Answer(200, {}, "<html>oops</html>"); },
       ""},
      {"InvalidUtf8",
       [](const RawRequest&) { return RawReply::Answer(200, {}, "{\"command\":\"\xE9\"}"); },
       std::string("Falha de comunicacao: ") + kNoMapping},
      {"TruncatedGzip",
       [](const RawRequest&) {
         // Announces the whole compressed body, sends half, and closes.
         const std::string gz = testing::GzipCompress(LongText());
         return RawReply::Bytes(
             testing::StatusLine(200) +
             "\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size()) +
             "\r\nConnection: close\r\n\r\n" + gz.substr(0, gz.size() / 2));
       },
       "Falha de comunicacao: Error reading data: ("},
      {"RedirectLoop",
       [](const RawRequest& request) {
         return RawReply::Answer(302, {{"Location", request.target}});
       },
       "Falha de comunicacao: Maximum number of redirections (5) exceeded"},
  };
}

TEST_P(FaultMatrixE2ETest, HostilePollAnswersAreLoggedAndTheWorkerPollsOn) {
  SampleLocalApi api;
  ConnectionServer server;
  const std::string enrolled = Enroll(server, api.BaseURL());
  for (const PollFault& fault : PollFaults()) {
    SCOPED_TRACE(fault.name);
    RawHttpServer hostile(fault.reply);
    const std::string ini = WithValue(enrolled, "Servidor", hostile.Url(""));
    WriteIni(ini);
    dir_.Write("TolvenarConnector.log", "");

    ASSERT_NO_FATAL_FAILURE(Start());
    // Three polls reached the hostile server (redirects count once per turn).
    ASSERT_TRUE(Eventually([&] {
      size_t turns = 0;
      for (const RawRequest& request : hostile.Requests())
        if (request.method == "POST") ++turns;
      return turns >= 3;
    })) << Log();
    Stop();

    if (fault.logged.empty()) {
      EXPECT_EQ(Log(), "");
    } else {
      EXPECT_GE(LoggedCount(fault.logged), 2u) << Log();
    }
    EXPECT_EQ(Ini(), ini);
    EXPECT_EQ(server.Requests("connector-enroll").size(), 1u);
    for (const RawRequest& request : hostile.Requests()) {
      ASSERT_NE(request.Header("X-Tolvenar-Connector"), nullptr);
      EXPECT_EQ(*request.Header("X-Tolvenar-Connector"),
                server.Enrollments().at(0).connector_secret);
    }
  }
}

TEST_P(FaultMatrixE2ETest, LocalApiInvalidUtf8Gives502AndALargeBodyArrivesWhole) {
  SampleLocalApi api;
  ConnectionServer server;
  std::string large;
  while (large.size() < 5 * 1024 * 1024) large += "{\"linha\":\"0123456789abcdef\"},";
  api.SetFault("/api/v1/client", RouteFault{200, 0, "{\"nome\":\"Jos\xE9\"}"});
  api.SetFault("/api/v1/sales/indicators", RouteFault{200, 0, large});
  server.QueueCommand(R"({"id":"bad","method":"GET","path":"/api/v1/client"})");
  server.QueueCommand(R"({"id":"big","method":"GET","path":"/api/v1/sales/indicators"})");
  server.QueueCommand(R"({"id":"after","method":"GET","path":"/api/v1/health"})");
  server.AcceptCode(kCnpj, kCode);
  WriteIni(IniSection(server.BaseURL(), api.BaseURL()));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Results().size() == 3; })) << Explain(server);
  Stop();

  const std::vector<CommandResult> results = server.Results();
  EXPECT_EQ(results[0].command_id, "bad");
  EXPECT_EQ(results[0].http_status, 502);
  EXPECT_EQ(results[0].body, "");
  EXPECT_EQ(results[0].error, kNoMapping);
  EXPECT_EQ(results[1].command_id, "big");
  EXPECT_EQ(results[1].http_status, 200);
  EXPECT_TRUE(results[1].body == large) << "received " << results[1].body.size() << " bytes";
  EXPECT_EQ(results[2].http_status, 200);
  EXPECT_NE(IniValue(Ini(), "ConnectorSecretEnc").value_or(""), "");
}

TEST_P(FaultMatrixE2ETest, DamagedStoredSecretIsLoggedEachTurnAndNothingChanges) {
  SampleLocalApi api;
  ConnectionServer server;
  const std::string enrolled = Enroll(server, api.BaseURL());
  // Valid Base64, but of bytes that were never protected.
  const std::string damaged = WithValue(enrolled, "ConnectorSecretEnc", "AAECAwQFBgcICQoLDA0ODw==");
  WriteIni(damaged);
  const size_t polls = server.Requests("connector-poll").size();

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] {
    return LoggedCount("Falha de comunicacao: System Error.  Code: ") >= 2;
  })) << Explain(server);
  Stop();

  EXPECT_EQ(Ini(), damaged);
  EXPECT_EQ(server.Requests("connector-enroll").size(), 1u);
  EXPECT_EQ(server.Requests("connector-poll").size(), polls);
}

TEST_P(FaultMatrixE2ETest, ReadOnlyIniKeepsTheCodeUntilItIsWritableAgain) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  WriteIni(IniSection(server.BaseURL(), api.BaseURL()));
  const std::string before = Ini();
  const std::filesystem::path ini = dir_.path() / "TolvenarConnector.ini";
  std::filesystem::permissions(ini, std::filesystem::perms::owner_read |
                                        std::filesystem::perms::group_read |
                                        std::filesystem::perms::others_read);

  ASSERT_NO_FATAL_FAILURE(Start());
  // The full path as the program sees it; Wine shows the Linux root as Z:.
  std::string path = dir_.File("TolvenarConnector.ini");
  if (GetParam().under_wine) {
    std::replace(path.begin(), path.end(), '/', '\\');
    path = "Z:" + path;
  }
  ASSERT_TRUE(Eventually([&] {
    return LoggedCount("Falha de comunicacao: Unable to write to " + path + "\r\n") >= 1;
  })) << Explain(server);
  EXPECT_EQ(Ini(), before);

  // The server took the code once; it accepts it again for the next attempt.
  server.AcceptCode(kCnpj, kCode);
  std::filesystem::permissions(ini, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  Stop();
  EXPECT_EQ(IniValue(Ini(), "CodigoVinculacao"), "");
  EXPECT_NE(IniValue(Ini(), "ConnectorSecretEnc").value_or(""), "");
}

TEST_P(FaultMatrixE2ETest, UnwritableLogDoesNotStopTheRelay) {
  SampleLocalApi api;
  ConnectionServer server;
  const std::string enrolled = Enroll(server, api.BaseURL());
  // A directory of the log's name: nobody can append to it, root included.
  std::filesystem::remove(dir_.path() / "TolvenarConnector.log");
  std::filesystem::create_directory(dir_.path() / "TolvenarConnector.log");
  server.SetResultStatus(500);  // a turn that logs
  server.QueueCommand(R"({"id":"first","method":"GET","path":"/api/v1/health"})");

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-result").empty(); }))
      << Explain(server);
  server.SetResultStatus(0);
  server.QueueCommand(R"({"id":"second","method":"GET","path":"/api/v1/health"})");
  ASSERT_TRUE(Eventually([&] { return server.Results().size() == 1; })) << Explain(server);
  Stop();

  EXPECT_EQ(server.Results()[0].command_id, "second");
  EXPECT_EQ(server.Results()[0].http_status, 200);
  EXPECT_EQ(Ini(), enrolled);
}

TEST_P(FaultMatrixE2ETest, StopDuringARelayedCommandWaitsForItsResult) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  api.SetFault("/api/v1/client", RouteFault{0, 2000, ""});
  WriteIni(IniSection(server.BaseURL(), api.BaseURL()));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  server.QueueCommand(R"({"id":"slow","method":"GET","path":"/api/v1/client"})");
  ASSERT_TRUE(Eventually([&] { return server.PendingCommands() == 0; })) << Explain(server);
  std::this_thread::sleep_for(200ms);  // the local request is under way
  EXPECT_TRUE(server.Results().empty());
  Stop();

  ASSERT_EQ(server.Results().size(), 1u) << Explain(server);
  EXPECT_EQ(server.Results()[0].command_id, "slow");
  EXPECT_EQ(server.Results()[0].http_status, 200);
  EXPECT_EQ(server.Results()[0].body, api.Requests("/api/v1/client").at(0).response_body);
}

INSTANTIATE_TEST_SUITE_P(Executables, FaultMatrixE2ETest,
                         ::testing::ValuesIn(testing::ConnectorTargets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
