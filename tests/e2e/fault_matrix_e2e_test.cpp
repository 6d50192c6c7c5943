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
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"
#include "support/compression.h"
#include "support/connector_e2e.h"
#include "support/raw_http_server.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using testing::RawHttpServer;
using testing::RawReply;
using testing::RawRequest;
using tools::CommandResult;
using tools::ConnectionServer;
using tools::RouteFault;
using tools::SampleLocalApi;

constexpr const char* kCnpj = "12345678000195";
constexpr const char* kCode = "AB-12CD";
constexpr const char* kNoMapping =
    "No mapping for the Unicode character exists in the target multi-byte code page";

std::string IniSection(const std::string& server, const std::string& local_api) {
  return testing::IniSection("Connector", server, local_api, kCnpj, kCode);
}

std::optional<std::string> IniValue(const std::string& ini, const std::string& key) {
  return testing::IniValue(ini, "Connector", key);
}

class FaultMatrixE2ETest : public testing::ConnectorE2ETest {
 protected:
  size_t LoggedCount(const std::string& prefix) const {
    return ConnectorE2ETest::LoggedCount(kCnpj, prefix);
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

// A command whose id tries to start a log line of its own; its result is
// refused so that the id reaches the log.
RawReply ForgedIdCommand(const RawRequest& request) {
  if (request.target.find("connector-result") != std::string::npos) {
    return RawReply::Answer(500, {}, "{}");
  }
  return RawReply::Answer(
      200, {},
      R"({"command":{"id":"7\r\n2026-01-01 00:00:00 [12345678000190] Vinculacao concluida com )"
      R"(sucesso.","method":"GET","path":"/api/v1/health"}})");
}

// Poll answers that send the connector elsewhere: nothing may reach the
// local API through them.
std::vector<PollFault> CrossOriginFaults(const std::string& local_api) {
  std::vector<PollFault> faults;
  for (int status : {303, 307}) {
    const std::string target = local_api + "/api/v1/admin/delete-all";
    faults.push_back({status == 303 ? "CrossOrigin303" : "CrossOrigin307",
                      [status, target](const RawRequest&) {
                        return RawReply::Answer(status, {{"Location", target}});
                      },
                      "Falha de comunicacao: Redirect to another origin refused: " + target});
  }
  return faults;
}

std::vector<PollFault> PollFaults(const std::string& local_api) {
  std::vector<PollFault> faults = CrossOriginFaults(local_api);
  std::vector<PollFault> others = {
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
      {"ForgedCommandId", ForgedIdCommand,
       "Falha ao devolver comando 7??2026-01-01 00:00:00 [12345678000190] Vinculacao concluida "
       "com sucesso. (HTTP 500)."},
  };
  for (PollFault& fault : others) faults.push_back(std::move(fault));
  return faults;
}

TEST_P(FaultMatrixE2ETest, HostilePollAnswersAreLoggedAndTheWorkerPollsOn) {
  SampleLocalApi api;
  ConnectionServer server;
  const std::string enrolled = Enroll(server, api.BaseURL());
  for (const PollFault& fault : PollFaults(api.BaseURL())) {
    SCOPED_TRACE(fault.name);
    RawHttpServer hostile(fault.reply);
    const std::string ini = testing::WithIniValue(enrolled, "Servidor", hostile.Url(""));
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
    // No line of the log starts with anything but a timestamp and our CNPJ.
    EXPECT_EQ(Log().find("\n2026-01-01"), std::string::npos) << Log();
    EXPECT_TRUE(api.Requests("/api/v1/admin/delete-all").empty());
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
  // Non-ASCII text grows sixfold when escaped into the result.
  while (large.size() < 5 * 1024 * 1024)
    large += "{\"linha\":\"0123 a\xC3\xA7\xC3\xA3o \xE2\x9C\x93\"},";
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

// A 5 MB question goes out in the command and comes back in the answer.
TEST_P(FaultMatrixE2ETest, LargeCommandBodyArrivesWholeAtTheLocalApi) {
  SampleLocalApi api;
  ConnectionServer server;
  std::string question;
  while (question.size() < 5 * 1024 * 1024) question += "Quanto vendemos \xC3\xA0s 9h? \\o/ ";
  const std::string body = nlohmann::json{{"mensagem", question}}.dump();
  server.QueueCommand(R"({"id":"big","method":"POST","path":"/api/v1/ia/chat","body":)" +
                      nlohmann::json(body).dump() + "}");
  server.AcceptCode(kCnpj, kCode);
  WriteIni(IniSection(server.BaseURL(), api.BaseURL()));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Results().size() == 1; })) << Explain(server);
  Stop();

  ASSERT_EQ(api.Requests("/api/v1/ia/chat").size(), 1u);
  const std::string received = api.Requests("/api/v1/ia/chat")[0].body;
  EXPECT_TRUE(received == body) << "received " << received.size() << " bytes";
  const CommandResult result = server.Results()[0];
  EXPECT_EQ(result.http_status, 200);
  const auto answer = nlohmann::json::parse(result.body, nullptr, false);
  ASSERT_TRUE(answer.is_object()) << result.body.substr(0, 200);
  EXPECT_TRUE(answer.value("pergunta", "") == question);
}

TEST_P(FaultMatrixE2ETest, DamagedStoredSecretIsLoggedEachTurnAndNothingChanges) {
  SampleLocalApi api;
  ConnectionServer server;
  const std::string enrolled = Enroll(server, api.BaseURL());
  // Valid Base64, but of bytes that were never protected.
  const std::string damaged =
      testing::WithIniValue(enrolled, "ConnectorSecretEnc", "AAECAwQFBgcICQoLDA0ODw==");
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

// The server spends the code when it answers; an INI that cannot take the
// enrollment keeps nothing of it, but the worker does: it polls with the
// issued secret and stores it once the file can be written.
TEST_P(FaultMatrixE2ETest, ReadOnlyIniKeepsTheIssuedEnrollmentUntilItIsWritableAgain) {
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
  const std::string refused = "Falha de comunicacao: Unable to write to " + path + "\r\n";
  ASSERT_TRUE(Eventually([&] {
    return LoggedCount(refused) >= 2 && server.Requests("connector-poll").size() >= 2;
  })) << Explain(server);
  EXPECT_EQ(Ini(), before);
  ASSERT_EQ(server.Enrollments().size(), 1u);
  for (const auto& poll : server.Requests("connector-poll")) {
    EXPECT_EQ(poll.Header("X-Tolvenar-Connector"), server.Enrollments()[0].connector_secret);
  }
  EXPECT_EQ(LoggedCount("Vinculacao concluida com sucesso."), 0u);

  std::filesystem::permissions(ini, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  ASSERT_TRUE(Eventually([&] { return LoggedCount("Vinculacao concluida com sucesso.") == 1; }))
      << Explain(server);
  Stop();
  const std::string stored = Ini();
  EXPECT_EQ(IniValue(stored, "CodigoVinculacao"), "");
  EXPECT_EQ(IniValue(stored, "ConnectorID"), server.Enrollments()[0].connector_id);
  EXPECT_NE(IniValue(stored, "ConnectorSecretEnc").value_or(""), "");
  EXPECT_EQ(server.Requests("connector-enroll").size(), 1u);

  // The next start polls with what the file holds, without enrolling.
  const size_t polls = server.Requests("connector-poll").size();
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Requests("connector-poll").size() > polls; }))
      << Explain(server);
  Stop();
  EXPECT_EQ(server.Requests("connector-enroll").size(), 1u);
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
