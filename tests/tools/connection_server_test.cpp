// The reference connection server, driven over HTTP as a connector would.
#include "reference_server/connection_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "base/version.h"
#include "reference_server/sample_local_api.h"
#include "support/temp_dir.h"

namespace tolvenar::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using Json = nlohmann::json;

constexpr const char* kCnpj = "12345678000195";

struct Answer {
  int status = 0;
  std::string body;
};

class ConnectionServerTest : public ::testing::Test {
 protected:
  Answer Post(const std::string& target, const std::string& body, const std::string& secret = "",
              bool with_secret = true) {
    httplib::Client client(server_.BaseURL());
    httplib::Headers headers;
    if (with_secret && !secret.empty()) headers.emplace("X-Tolvenar-Connector", secret);
    const httplib::Result result = client.Post(target, headers, body, "application/json");
    if (!result) return {};
    return {result->status, result->body};
  }
  Answer Get(const std::string& target) {
    httplib::Client client(server_.BaseURL());
    const httplib::Result result = client.Get(target);
    if (!result) return {};
    return {result->status, result->body};
  }
  Answer Action(const std::string& action, const std::string& body,
                const std::string& secret = "") {
    return Post("/api.php?action=" + action, body, secret);
  }
  std::string EnrollBody(const std::string& code, const std::string& cnpj = kCnpj) {
    return Json{{"code", code},
                {"cnpj", cnpj},
                {"connector_version", kConnectorVersion},
                {"local_api_version", "9.9"}}
        .dump();
  }
  // Enrolls with a fresh code and gives the secret.
  std::string Enrolled(const std::string& cnpj = kCnpj) {
    const std::string code = "C" + std::to_string(++codes_);
    server_.AcceptCode(cnpj, code);
    const Answer answer = Action("connector-enroll", EnrollBody(code, cnpj));
    EXPECT_EQ(answer.status, 200) << answer.body;
    return Json::parse(answer.body).at("connector_secret").get<std::string>();
  }
  std::string ResultBody(const std::string& id) {
    return R"({"command_id":")" + id + R"(","http_status":200,"body":"{\"ok\":true}","error":""})";
  }

  ConnectionServer server_;
  int codes_ = 0;
};

TEST_F(ConnectionServerTest, EnrollmentCodeIsAcceptedOnceForItsCnpj) {
  server_.AcceptCode("12.345.678/0001-95", "ab-12cd");
  EXPECT_EQ(Action("connector-enroll", EnrollBody("AB-12CD", "99999999000199")).status, 403);
  EXPECT_EQ(Action("connector-enroll", EnrollBody("ab-12cd")).status, 403)
      << "the connector sends codes upper-cased";

  const Answer first = Action("connector-enroll", EnrollBody("AB-12CD"));
  ASSERT_EQ(first.status, 200) << first.body;
  const Json answer = Json::parse(first.body);
  EXPECT_EQ(answer.at("connector_id"), "connector-1");
  EXPECT_THAT(answer.at("connector_secret").get<std::string>(), MatchesRegex("[0-9a-f]{64}"));

  EXPECT_EQ(Action("connector-enroll", EnrollBody("AB-12CD")).status, 403);
  ASSERT_EQ(server_.Enrollments().size(), 1u);
  const Enrollment enrollment = server_.Enrollments()[0];
  EXPECT_EQ(enrollment.cnpj, kCnpj);
  EXPECT_EQ(enrollment.code, "AB-12CD");
  EXPECT_EQ(enrollment.connector_version, kConnectorVersion);
  EXPECT_EQ(enrollment.local_api_version, "9.9");
  EXPECT_EQ(enrollment.connector_secret, answer.at("connector_secret"));
}

TEST_F(ConnectionServerTest, EachEnrollmentGetsItsOwnSecret) {
  const std::string a = Enrolled();
  const std::string b = Enrolled();
  EXPECT_NE(a, b);
  EXPECT_EQ(server_.Enrollments()[1].connector_id, "connector-2");
}

TEST_F(ConnectionServerTest, PollsAndResultsNeedAnIssuedSecret) {
  const std::string secret = Enrolled();
  struct Case {
    const char* action;
    std::string secret;
    int status;
  };
  for (const Case& c : {Case{"connector-poll", "", 401}, Case{"connector-poll", "f00", 401},
                        Case{"connector-poll", secret, 204}, Case{"connector-result", "", 401},
                        Case{"connector-result", secret + "0", 401}}) {
    EXPECT_EQ(Action(c.action, c.action == std::string("connector-poll") ? "{}" : ResultBody("x"),
                     c.secret)
                  .status,
              c.status)
        << c.action << " with secret '" << c.secret << "'";
  }
  EXPECT_THAT(server_.Results(), IsEmpty());
}

TEST_F(ConnectionServerTest, HandsOutOneCommandPerPollAsWrittenThenNoContent) {
  const std::string secret = Enrolled();
  const std::string odd = R"({"id":7,"method":"GET","path":"/health","body":{"x":1}})";
  EXPECT_EQ(server_.QueueCommand(odd), "7");
  EXPECT_EQ(server_.QueueCommand(R"({"method":"POST","path":"/api/v1/ia/chat"})"), "cmd-2");
  EXPECT_EQ(server_.PendingCommands(), 2u);

  const Answer first = Action("connector-poll", "{}", secret);
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, std::string("{\"command\":") + odd + "}");
  const Answer second = Action("connector-poll", "{}", secret);
  EXPECT_EQ(second.body, R"({"command":{"id":"cmd-2","method":"POST","path":"/api/v1/ia/chat"}})");
  const Answer third = Action("connector-poll", "{}", secret);
  EXPECT_EQ(third.status, 204);
  EXPECT_EQ(third.body, "");
}

TEST_F(ConnectionServerTest, CommandForACnpjWaitsForThatCompanysConnector) {
  const std::string other = Enrolled("99999999000199");
  const std::string mine = Enrolled();
  server_.QueueCommand(R"({"id":"only-mine","path":"/health"})", "12.345.678/0001-95");
  EXPECT_EQ(Action("connector-poll", "{}", other).status, 204);
  EXPECT_EQ(Action("connector-poll", "{}", mine).status, 200);
}

TEST_F(ConnectionServerTest, RecordsWellFormedResultsWithTheirCommand) {
  const std::string secret = Enrolled();
  server_.QueueCommand(R"({"id":"c1","method":"GET","path":"/api/v1/health"})");
  Action("connector-poll", "{}", secret);
  const Answer accepted =
      Action("connector-result",
             R"({"command_id":"c1","http_status":403,"body":"{\"a\":\"\u00e7\/\"}",)"
             R"("error":"Rota nao autorizada pelo Connector."})",
             secret);
  EXPECT_EQ(accepted.status, 200);

  for (const char* bad :
       {"", "[]", R"({"command_id":"c1","http_status":"200","body":"","error":""})",
        R"({"command_id":1,"http_status":200,"body":"","error":""})",
        R"({"command_id":"c1","http_status":200,"body":""})"}) {
    EXPECT_EQ(Action("connector-result", bad, secret).status, 400) << bad;
  }
  const std::vector<CommandResult> results = server_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].connector_id, "connector-1");
  EXPECT_EQ(results[0].command_id, "c1");
  EXPECT_EQ(results[0].http_status, 403);
  EXPECT_EQ(results[0].body, "{\"a\":\"\xC3\xA7/\"}");
  EXPECT_EQ(results[0].error, "Rota nao autorizada pelo Connector.");
  EXPECT_EQ(results[0].method, "GET");
  EXPECT_EQ(results[0].path, "/api/v1/health");
}

TEST_F(ConnectionServerTest, FaultStatusesReplaceTheNormalAnswersUntilCleared) {
  const std::string secret = Enrolled();
  server_.QueueCommand(R"({"id":"kept"})");
  server_.SetPollStatus(503);
  server_.SetResultStatus(500);
  EXPECT_EQ(Action("connector-poll", "{}", secret).status, 503);
  EXPECT_EQ(Action("connector-result", ResultBody("kept"), secret).status, 500);
  EXPECT_EQ(server_.PendingCommands(), 1u);
  EXPECT_THAT(server_.Results(), IsEmpty());

  server_.SetPollStatus(0);
  server_.SetResultStatus(0);
  EXPECT_EQ(Action("connector-poll", "{}", secret).status, 200);
  EXPECT_EQ(Action("connector-result", ResultBody("kept"), secret).status, 200);
}

TEST_F(ConnectionServerTest, AnswersOtherRoutesAndMethodsWithErrors) {
  EXPECT_EQ(Get("/api.php?action=connector-poll").status, 405);
  EXPECT_EQ(Action("connector-unknown", "{}").status, 404);
  EXPECT_EQ(Post("/other.php?action=connector-poll", "{}").status, 404);
  EXPECT_EQ(Action("connector-enroll", "not json").status, 400);
}

TEST_F(ConnectionServerTest, RecordsProtocolRequestsButNotAdminOnes) {
  Action("connector-poll", "{}", "abc");
  Get("/admin/status");
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/api.php?action=connector-poll");
  EXPECT_EQ(requests[0].Header("x-tolvenar-connector"), "abc");
  EXPECT_FALSE(requests[0].HasHeader("REMOTE_ADDR"));
  EXPECT_EQ(requests[0].body, "{}");
  EXPECT_EQ(requests[0].response_status, 401);
  EXPECT_EQ(server_.Requests("connector-poll").size(), 1u);
  EXPECT_THAT(server_.Requests("connector-enroll"), IsEmpty());
}

TEST_F(ConnectionServerTest, AdminRoutesQueueCommandsAndShowWhatHappened) {
  const std::string secret = Enrolled();
  EXPECT_EQ(Post("/admin/commands", "[1]").status, 400);
  const Answer queued = Post("/admin/commands", R"({"method":"GET","path":"/health"})");
  EXPECT_EQ(queued.status, 201);
  EXPECT_EQ(Json::parse(queued.body).at("id"), "cmd-1");
  EXPECT_EQ(Post("/admin/faults", R"({"poll_status":503})").status, 200);
  EXPECT_EQ(Action("connector-poll", "{}", secret).status, 503);
  EXPECT_EQ(Post("/admin/faults", R"({"poll_status":0})").status, 200);
  EXPECT_EQ(Action("connector-poll", "{}", secret).status, 200);
  Action("connector-result", ResultBody("cmd-1"), secret);

  const Json results = Json::parse(Get("/admin/results").body);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].at("command_id"), "cmd-1");
  EXPECT_EQ(results[0].at("path"), "/health");
  EXPECT_EQ(results[0].at("body"), "{\"ok\":true}");
  const Json enrollments = Json::parse(Get("/admin/enrollments").body);
  ASSERT_EQ(enrollments.size(), 1u);
  EXPECT_FALSE(enrollments[0].contains("connector_secret"));
  EXPECT_EQ(Json::parse(Get("/admin/requests").body).size(), server_.Requests().size());
  EXPECT_EQ(Post("/admin/codes", R"({"cnpj":"1","code":"x"})").status, 201);
  EXPECT_EQ(Action("connector-enroll", EnrollBody("X", "1")).status, 200);
  EXPECT_THAT(Get("/admin/report").body, ::testing::HasSubstr("[cmd-1] GET /health"));
}

TEST_F(ConnectionServerTest, AdminRoutesMaskCredentialsThatTheAccessorsKeep) {
  server_.AcceptCode(kCnpj, "SEGREDO-COD");
  const Answer enrolled = Action("connector-enroll", EnrollBody("SEGREDO-COD"));
  ASSERT_EQ(enrolled.status, 200) << enrolled.body;
  const std::string secret = Json::parse(enrolled.body).at("connector_secret").get<std::string>();
  server_.QueueCommand(
      R"({"id":"c1","method":"GET","path":"/api/v1/secure/ping",)"
      R"("authorization":"Bearer token-secreto","session_token":"sessao-secreta"})");
  ASSERT_EQ(Action("connector-poll", "{}", secret).status, 200);

  const std::string shown[] = {Get("/admin/requests").body, Get("/admin/enrollments").body,
                               Get("/admin/report").body};
  for (const std::string& text : shown) {
    for (const std::string& hidden :
         {secret, std::string("SEGREDO-COD"), std::string("token-secreto"),
          std::string("sessao-secreta")}) {
      EXPECT_EQ(text.find(hidden), std::string::npos) << hidden << " shown in " << text;
    }
  }
  const Json requests = Json::parse(Get("/admin/requests").body);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(Json::parse(requests[0].at("body").get<std::string>()).at("code"), "***");
  EXPECT_EQ(Json::parse(requests[0].at("body").get<std::string>()).at("cnpj"), kCnpj);
  EXPECT_EQ(Json::parse(requests[0].at("response_body").get<std::string>()).at("connector_secret"),
            "***");
  bool header_seen = false;
  for (const Json& header : requests[1].at("headers")) {
    if (header[0] == "X-Tolvenar-Connector") {
      EXPECT_EQ(header[1], "***");
      header_seen = true;
    }
  }
  EXPECT_TRUE(header_seen);
  const Json command =
      Json::parse(requests[1].at("response_body").get<std::string>()).at("command");
  EXPECT_EQ(command.at("authorization"), "***");
  EXPECT_EQ(command.at("session_token"), "***");
  EXPECT_EQ(command.at("path"), "/api/v1/secure/ping");
  EXPECT_EQ(Json::parse(Get("/admin/enrollments").body)[0].at("code"), "***");

  // Tests read what the connector sent through the accessors, unmasked.
  EXPECT_EQ(server_.Enrollments().at(0).code, "SEGREDO-COD");
  EXPECT_EQ(server_.Requests("connector-poll").at(0).Header("X-Tolvenar-Connector"), secret);
  EXPECT_NE(server_.Requests("connector-poll").at(0).response_body.find("token-secreto"),
            std::string::npos);
}

TEST(ConnectionServerTlsTest, ServesHttpsWhenGivenACertificate) {
  const testing::TempDir dir;
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
      dir.File("key.pem") + "' -out '" + dir.File("cert.pem") + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ListenOptions options;
  options.cert_file = dir.File("cert.pem");
  options.key_file = dir.File("key.pem");
  ConnectionServer server(options);
  EXPECT_EQ(server.BaseURL(), "https://127.0.0.1:" + std::to_string(server.Port()));

  httplib::SSLClient client("127.0.0.1", server.Port());
  client.enable_server_certificate_verification(false);
  const httplib::Result result =
      client.Post("/api.php?action=connector-poll", "{}", "application/json");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(result->status, 401);
}

// A second server on a port in use must fail, not share the port and take
// part of the connections; the port stays with the first, whole.
TEST(ConnectionServerPortTest, RefusesAPortAlreadyInUse) {
  ConnectionServer first;
  ListenOptions same;
  same.port = first.Port();
  try {
    ConnectionServer second(same);
    FAIL() << "a second server listens on port " << first.Port();
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("port in use"));
  }
  try {
    SampleLocalApi api(same);
    FAIL() << "the sample local API listens on the server's port " << first.Port();
  } catch (const std::runtime_error&) {
  }
  for (int i = 0; i < 8; ++i) {
    httplib::Client client(first.BaseURL());
    const httplib::Result result =
        client.Post("/api.php?action=connector-poll", "{}", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
  }
}

// Once a server has gone, a new one takes its port at once (connections of
// the old one may still linger in TIME_WAIT).
TEST(ConnectionServerPortTest, ReusesThePortOfAServerThatStopped) {
  int port = 0;
  {
    ConnectionServer first;
    port = first.Port();
    httplib::Client client(first.BaseURL());
    ASSERT_TRUE(client.Post("/api.php?action=connector-poll", "{}", "application/json"));
  }
  ListenOptions same;
  same.port = port;
  EXPECT_NO_THROW(ConnectionServer again(same));
}

TEST(ConnectionServerTlsTest, RefusesAMissingCertificate) {
  ListenOptions options;
  options.cert_file = "/nonexistent/cert.pem";
  options.key_file = "/nonexistent/key.pem";
  EXPECT_THROW(ConnectionServer server(options), std::runtime_error);
}

}  // namespace
}  // namespace tolvenar::tools
