// The whole job end to end: each connector executable (Linux natively,
// Windows under Wine) against the reference connection server and the
// sample local API, both running in this process on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <thread>

#include "base/version.h"
#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"
#include "support/connector_e2e.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using ::testing::HasSubstr;
using testing::IniSection;
using testing::IniValue;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using tools::CommandResult;
using tools::ConnectionServer;
using tools::RecordedRequest;
using tools::RouteFault;
using tools::SampleLocalApi;

constexpr const char* kCnpj = "12345678000195";
constexpr const char* kCode = "AB-12CD";
constexpr const char* kRefused = "Rota nao autorizada pelo Connector.";

// `text` as a JSON string, for a command's "body".
std::string JsonString(const std::string& text) { return nlohmann::json(text).dump(); }

std::map<std::string, CommandResult> ById(const std::vector<CommandResult>& results) {
  std::map<std::string, CommandResult> by_id;
  for (const CommandResult& result : results) by_id[result.command_id] = result;
  return by_id;
}

class RelayE2ETest : public testing::ConnectorE2ETest {};

TEST_P(RelayE2ETest, EnrollsOnceThenTheNextStartPollsWithTheStoredSecret) {
  SampleLocalApi api(tools::ListenOptions{}, "7.3.0");
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  WriteIni(
      IniSection("Connector", server.BaseURL(), api.BaseURL(), "12.345.678/0001-95", " ab-12cd "));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  Stop();

  ASSERT_EQ(server.Enrollments().size(), 1u) << Explain(server);
  const tools::Enrollment enrollment = server.Enrollments()[0];
  EXPECT_EQ(enrollment.cnpj, kCnpj);
  EXPECT_EQ(enrollment.code, kCode);
  EXPECT_EQ(enrollment.connector_version, kConnectorVersion);
  EXPECT_EQ(enrollment.local_api_version, "7.3.0");
  const RecordedRequest enroll = server.Requests("connector-enroll").at(0);
  EXPECT_FALSE(enroll.HasHeader("X-Tolvenar-Connector"));
  EXPECT_EQ(enroll.Header("X-Tolvenar-Connector-Version"), kConnectorVersion);
  EXPECT_EQ(enroll.Header("Content-Type"), "application/json");
  for (const RecordedRequest& poll : server.Requests("connector-poll")) {
    EXPECT_EQ(poll.Header("X-Tolvenar-Connector"), enrollment.connector_secret);
    EXPECT_EQ(poll.body, "{}");
    EXPECT_EQ(poll.response_status, 204);
  }
  EXPECT_EQ(api.Requests("/health").size(), 1u) << "the version probe";

  const std::string ini = Ini();
  EXPECT_EQ(IniValue(ini, "Connector", "ConnectorID"), enrollment.connector_id) << ini;
  const std::string stored = IniValue(ini, "Connector", "ConnectorSecretEnc").value_or("");
  EXPECT_NE(stored, "") << ini;
  EXPECT_THAT(stored, Not(HasSubstr(enrollment.connector_secret)));
  EXPECT_EQ(IniValue(ini, "Connector", "CodigoVinculacao"), "") << ini;
  EXPECT_TRUE(Logged(kCnpj, "Vinculacao concluida com sucesso.")) << Log();

  // The enrolled file: polls at once, with the secret it protected.
  const size_t polls = server.Requests("connector-poll").size();
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Requests("connector-poll").size() > polls; }))
      << Explain(server);
  Stop();
  EXPECT_EQ(server.Requests("connector-enroll").size(), 1u);
  EXPECT_EQ(server.Requests("connector-poll").back().response_status, 204);
  EXPECT_THAT(Log(), Not(HasSubstr("Vinculacao recusada")));
}

TEST_P(RelayE2ETest, RelaysCommandsWithBodiesHeadersAndStatusesIntact) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  api.SetFault("/api/v1/finance/dre",
               RouteFault{500, 0, "{\"erro\":\"Falha ao calcular o DRE.\"}"});
  const std::string login_body = R"({"usuario":"ana","senha":"s3cr3t"})";
  const std::string chat_body = "{\"mensagem\":\"Ol\xC3\xA1, quanto vendemos?\"}";
  server.QueueCommand(R"({"id":"login","method":"POST","path":"/api/v1/auth/login","body":)" +
                      JsonString(login_body) + "}");
  server.QueueCommand(
      R"({"id":"ping","method":"get","path":"/api/v1/secure/ping","body":"ignored",)"
      R"("authorization":"Bearer abc","session_token":"sess-1"})");
  server.QueueCommand(R"({"id":"chat","method":"POST","path":"/api/v1/ia/chat","body":)" +
                      JsonString(chat_body) + "}");
  server.QueueCommand(R"({"id":7,"method":"GET","path":"/api/v1/finance/dre"})");
  server.QueueCommand(R"({"id":"refused","method":"GET","path":"/admin/requests"})");
  server.QueueCommand(R"({"id":"caps","method":"GET","path":"/API/V1/HEALTH"})");
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Results().size() == 6; })) << Explain(server);
  Stop();

  const std::vector<CommandResult> results = server.Results();
  std::vector<std::string> order;
  for (const CommandResult& result : results) order.push_back(result.command_id);
  EXPECT_THAT(order, ::testing::ElementsAre("login", "ping", "chat", "7", "refused", "caps"));
  std::map<std::string, CommandResult> by_id = ById(results);

  const RecordedRequest login = api.Requests("/api/v1/auth/login").at(0);
  EXPECT_EQ(login.method, "POST");
  EXPECT_EQ(login.body, login_body);
  EXPECT_EQ(login.Header("Accept"), "application/json");
  EXPECT_EQ(login.Header("Content-Type"), "application/json");
  EXPECT_FALSE(login.HasHeader("Authorization"));
  EXPECT_FALSE(login.HasHeader("X-Tolvenar-Session"));
  EXPECT_EQ(by_id["login"].http_status, 200);
  EXPECT_EQ(by_id["login"].body, login.response_body);
  EXPECT_EQ(by_id["login"].error, "");

  const RecordedRequest ping = api.Requests("/api/v1/secure/ping").at(0);
  EXPECT_EQ(ping.method, "GET");
  EXPECT_EQ(ping.body, "");
  EXPECT_EQ(ping.Header("Authorization"), "Bearer abc");
  EXPECT_EQ(ping.Header("X-Tolvenar-Session"), "sess-1");
  EXPECT_EQ(by_id["ping"].http_status, 200);
  EXPECT_EQ(by_id["ping"].body, ping.response_body);

  const RecordedRequest chat = api.Requests("/api/v1/ia/chat").at(0);
  EXPECT_EQ(chat.body, chat_body);
  EXPECT_EQ(by_id["chat"].http_status, 200);
  EXPECT_EQ(by_id["chat"].body, chat.response_body);
  EXPECT_THAT(by_id["chat"].body, HasSubstr("Ol\xC3\xA1"));

  EXPECT_EQ(by_id["7"].http_status, 500);
  EXPECT_EQ(by_id["7"].body, "{\"erro\":\"Falha ao calcular o DRE.\"}");
  EXPECT_EQ(by_id["7"].error, "");

  EXPECT_EQ(by_id["refused"].http_status, 403);
  EXPECT_EQ(by_id["refused"].body, "");
  EXPECT_EQ(by_id["refused"].error, kRefused);
  EXPECT_THAT(api.Requests("/admin/requests"), IsEmpty());

  EXPECT_EQ(by_id["caps"].http_status, 404);
  ASSERT_EQ(api.Requests("/API/V1/HEALTH").size(), 1u);
  EXPECT_EQ(api.Requests().size(), 6u) << "the version probe and five relayed commands";
}

TEST_P(RelayE2ETest, LocalApiThatIsDownGives502WithTheFailureMessage) {
  std::string down;
  {
    SampleLocalApi stopped;
    down = stopped.BaseURL();
  }
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  server.QueueCommand(R"({"id":"down","method":"GET","path":"/api/v1/health"})");
  WriteIni(IniSection("Connector", server.BaseURL(), down, kCnpj, kCode));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return server.Results().size() == 1; })) << Explain(server);
  Stop();

  const CommandResult result = server.Results()[0];
  EXPECT_EQ(result.http_status, 502);
  EXPECT_EQ(result.body, "");
  EXPECT_THAT(result.error, StartsWith("Error sending data: ("));
  EXPECT_EQ(server.Enrollments().at(0).local_api_version, "");
}

TEST_P(RelayE2ETest, RefusedResultIsLoggedAndTheNextPollWorks) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  server.SetResultStatus(500);
  server.QueueCommand(R"({"id":"lost","method":"GET","path":"/api/v1/dashboard/summary"})");
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] {
    return Logged(kCnpj, "Falha ao devolver comando lost (HTTP 500).");
  })) << Explain(server);
  server.SetResultStatus(0);
  server.QueueCommand(R"({"id":"next","method":"GET","path":"/api/v1/sales/indicators"})");
  ASSERT_TRUE(Eventually([&] { return !server.Results().empty(); })) << Explain(server);
  Stop();

  EXPECT_EQ(server.Results()[0].command_id, "next");
  EXPECT_EQ(server.Results()[0].http_status, 200);
  EXPECT_EQ(api.Requests("/api/v1/dashboard/summary").size(), 1u) << "not retried";
}

TEST_P(RelayE2ETest, PollsAnswered503AreLoggedAndTheCommandWaits) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  server.SetPollStatus(503);
  server.QueueCommand(R"({"id":"waits","method":"GET","path":"/api/v1/client"})");
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return Logged(kCnpj, "Servidor de conexao respondeu HTTP 503."); }))
      << Explain(server);
  EXPECT_EQ(server.PendingCommands(), 1u);
  EXPECT_THAT(api.Requests("/api/v1/client"), IsEmpty());
  server.SetPollStatus(0);
  ASSERT_TRUE(Eventually([&] { return !server.Results().empty(); })) << Explain(server);
  Stop();

  EXPECT_EQ(server.Results()[0].command_id, "waits");
  EXPECT_EQ(server.Results()[0].http_status, 200);
}

// Companies registered since July 2026 have letters in their CNPJ: the
// connector keeps them, in upper case, in the enrollment and in the log.
TEST_P(RelayE2ETest, AnAlphanumericCnpjEnrollsAndLogsInItsNormalForm) {
  SampleLocalApi api;
  ConnectionServer server;
  server.AcceptCode("12ABC34501DE35", kCode);
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), "12.abc.345/01de-35", kCode));

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  Stop();

  ASSERT_EQ(server.Enrollments().size(), 1u) << Explain(server);
  EXPECT_EQ(server.Enrollments()[0].cnpj, "12ABC34501DE35");
  EXPECT_THAT(server.Requests("connector-enroll").at(0).body,
              HasSubstr(R"("cnpj":"12ABC34501DE35",)"));
  EXPECT_TRUE(Logged("12ABC34501DE35", "Vinculacao concluida com sucesso.")) << Log();
}

TEST_P(RelayE2ETest, TwoProfilesWorkAgainstTwoServersAtOnce) {
  struct Side {
    const char* section;
    const char* cnpj;
    const char* code;
    SampleLocalApi api;
    ConnectionServer server;
  };
  Side a{"Connector_A", "11111111000111", "CODE-A", SampleLocalApi({}, "1.1.0"),
         ConnectionServer()};
  Side b{"Connector_B", "22222222000122", "CODE-B", SampleLocalApi({}, "2.2.0"),
         ConnectionServer()};
  std::string ini;
  for (Side* side : {&a, &b}) {
    side->server.AcceptCode(side->cnpj, side->code);
    side->server.QueueCommand(R"({"id":"health","method":"GET","path":"/api/v1/health"})");
    side->server.QueueCommand(R"({"id":"search","method":"POST","path":"/api/v1/people/search",)"
                              R"("body":"{\"termo\":\"Maria\"}"})");
    ini += IniSection(side->section, side->server.BaseURL(), side->api.BaseURL(), side->cnpj,
                      side->code);
  }
  WriteIni(ini);

  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] {
    return a.server.Results().size() == 2 && b.server.Results().size() == 2;
  })) << Explain(a.server)
      << Explain(b.server);
  Stop();

  const std::string written = Ini();
  for (Side* side : {&a, &b}) {
    SCOPED_TRACE(side->section);
    ASSERT_EQ(side->server.Enrollments().size(), 1u);
    EXPECT_EQ(side->server.Enrollments()[0].cnpj, side->cnpj);
    EXPECT_EQ(side->server.Enrollments()[0].local_api_version, side->api.Version());
    std::map<std::string, CommandResult> by_id = ById(side->server.Results());
    EXPECT_EQ(by_id["health"].body, side->api.Requests("/api/v1/health").at(0).response_body);
    EXPECT_THAT(by_id["health"].body, HasSubstr(side->api.Version()));
    EXPECT_EQ(by_id["search"].http_status, 200);
    EXPECT_EQ(side->api.Requests("/api/v1/people/search").at(0).body, R"({"termo":"Maria"})");
    EXPECT_EQ(IniValue(written, side->section, "ConnectorID"),
              side->server.Enrollments()[0].connector_id);
    EXPECT_NE(IniValue(written, side->section, "ConnectorSecretEnc").value_or(""), "");
    EXPECT_EQ(IniValue(written, side->section, "CodigoVinculacao"), "");
    // On Windows the log's sharing rules drop an entry whose append meets
    // another one at the same instant; both workers enroll together here.
    if (!GetParam().under_wine) {
      EXPECT_TRUE(Logged(side->cnpj, "Vinculacao concluida com sucesso.")) << Log();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Executables, RelayE2ETest,
                         ::testing::ValuesIn(testing::ConnectorTargets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
