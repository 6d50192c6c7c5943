// Enrollment, polling and result reporting against a scripted server and
// local API.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "base/exception.h"
#include "base/version.h"
#include "config/config.h"
#include "config/profile.h"
#include "support/exposed_worker.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;

constexpr const char* kServer = "https://srv.test/conn";
constexpr const char* kLocal = "http://127.0.0.1:3001";

HttpResponse Reply(int status, std::string body = "") {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

class ExchangeTest : public ::testing::Test {
 protected:
  ExchangeTest()
      : env_(dir_.Dir()),
        config_(&env_),
        profile_(&env_.protector()),
        worker_(&profile_, &config_, &env_) {
    profile_.SetSection("Connector");
    profile_.SetServerURL(kServer);
    profile_.SetCNPJ("12345678000199");
    profile_.SetLocalAPIURL(kLocal);
    env_.http().SetHandler([this](const HttpRequest& request) -> HttpResponse {
      auto it = routes_.find(request.url);
      if (it == routes_.end())
        throw Exception("Error sending data: (7) Couldn't connect to server");
      return it->second(request);
    });
  }
  void Route(const std::string& url, std::function<HttpResponse(const HttpRequest&)> handler) {
    routes_[url] = std::move(handler);
  }
  std::string Action(const std::string& action) {
    return std::string(kServer) + "/api.php?action=" + action;
  }
  void Enrolled(const std::string& secret) {
    profile_.SetSecretEncrypted(
        TTolvenarConnectorConfig::ProtectMachineString(env_.protector(), secret));
  }
  std::vector<HttpRequest> RequestsTo(const std::string& url) {
    std::vector<HttpRequest> out;
    for (const HttpRequest& r : env_.http().Requests())
      if (r.url == url) out.push_back(r);
    return out;
  }

  testing::TempDir dir_;
  testing::FakeEnv env_;
  TTolvenarConnectorConfig config_;
  TTolvenarConnectorProfile profile_;
  testing::ExposedWorker worker_;
  std::map<std::string, std::function<HttpResponse(const HttpRequest&)>> routes_;
};

TEST_F(ExchangeTest, ServerActionEnvelope) {
  EXPECT_EQ(worker_.ServerActionURL("connector-poll"),
            "https://srv.test/conn/api.php?action=connector-poll");
  Route(Action("x"), [](const HttpRequest&) { return Reply(204, "ignored bytes"); });
  int status = 0;
  std::string text = "stale";
  EXPECT_TRUE(worker_.PostServerAction("x", "{}", "", status, text));
  EXPECT_EQ(status, 204);
  EXPECT_EQ(text, "");
  HttpRequest sent = env_.http().Requests().back();
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.body, "{}");
  EXPECT_EQ(sent.connect_timeout_ms, 10000);
  EXPECT_EQ(sent.response_timeout_ms, 45000);
  EXPECT_THAT(sent.headers, ElementsAre(Pair("Content-Type", "application/json"),
                                        Pair("Accept", "application/json"),
                                        Pair("X-Tolvenar-Connector-Version", kConnectorVersion)));
  Route(Action("x"), [](const HttpRequest&) { return Reply(299, "ok"); });
  EXPECT_TRUE(worker_.PostServerAction("x", "{}", "s", status, text));
  EXPECT_EQ(text, "ok");
  EXPECT_THAT(
      env_.http().Requests().back().headers,
      ElementsAre(Pair("Content-Type", "application/json"), Pair("Accept", "application/json"),
                  Pair("X-Tolvenar-Connector-Version", kConnectorVersion),
                  Pair("X-Tolvenar-Connector", "s")));
  Route(Action("x"), [](const HttpRequest&) { return Reply(300, "moved?"); });
  EXPECT_FALSE(worker_.PostServerAction("x", "{}", "", status, text));
  EXPECT_EQ(status, 300);
  EXPECT_EQ(text, "moved?");
  Route(Action("x"), [](const HttpRequest&) { return Reply(500, "\xE9"); });
  EXPECT_THROW(worker_.PostServerAction("x", "{}", "", status, text), Exception);
}

TEST_F(ExchangeTest, EnrollWithoutCodeSendsNothing) {
  EXPECT_FALSE(worker_.Enroll());
  EXPECT_THAT(env_.http().Requests(), IsEmpty());
  EXPECT_THAT(worker_.logged, IsEmpty());
}

TEST_F(ExchangeTest, EnrollSendsTheExactBodyAndStoresTheAnswer) {
  profile_.SetEnrollmentCode("AB-12\xC3\x87");  // Ç
  Route(std::string(kLocal) + "/health",
        [](const HttpRequest&) { return Reply(200, "{\"version\":\"3.1\"}"); });
  Route(Action("connector-enroll"), [](const HttpRequest&) {
    return Reply(200, "{\"connector_id\":42,\"connector_secret\":\"top/secret\"}");
  });
  EXPECT_TRUE(worker_.Enroll());
  const auto sent = RequestsTo(Action("connector-enroll"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].body,
            "{\"code\":\"AB-12\\u00C7\",\"cnpj\":\"12345678000199\",\"connector_version\":\"" +
                std::string(kConnectorVersion) + "\",\"local_api_version\":\"3.1\"}");
  EXPECT_EQ(sent[0].headers.size(), 3u);  // no secret header
  EXPECT_EQ(profile_.ConnectorID(), "42");
  EXPECT_EQ(profile_.EnrollmentCode(), "");
  EXPECT_EQ(profile_.Secret(), "top/secret");
  EXPECT_THAT(worker_.logged, ElementsAre("Vinculacao concluida com sucesso."));
  const std::string ini = dir_.Read("TolvenarConnector.ini");
  EXPECT_THAT(ini, HasSubstr("ConnectorID=42"));
  EXPECT_THAT(ini, HasSubstr("ConnectorSecretEnc="));
  EXPECT_THAT(ini, HasSubstr("CodigoVinculacao="));
}

// The server spends the code when it answers: an enrollment the file cannot
// take stays in memory, is used, and reaches the file once it can be written.
TEST_F(ExchangeTest, EnrollmentTheFileRefusesIsKeptUsedAndStoredLater) {
  const std::string before = "[Connector]\r\nCNPJ=12345678000199\r\nCodigoVinculacao=C1\r\n";
  dir_.Write("TolvenarConnector.ini", before);
  const std::filesystem::path ini = dir_.path() / "TolvenarConnector.ini";
  std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
  profile_.SetEnrollmentCode("C1");
  Route(Action("connector-enroll"), [](const HttpRequest&) {
    return Reply(200, "{\"connector_id\":\"42\",\"connector_secret\":\"top/secret\"}");
  });
  Route(Action("connector-poll"), [](const HttpRequest&) { return Reply(204); });

  EXPECT_TRUE(worker_.Enroll());
  const std::string refused = "Falha de comunicacao: Unable to write to " + config_.FileName();
  EXPECT_THAT(worker_.logged, ElementsAre(refused));
  EXPECT_EQ(dir_.Read("TolvenarConnector.ini"), before);
  EXPECT_TRUE(profile_.EnrollmentUnsaved());
  EXPECT_EQ(profile_.ConnectorID(), "42");
  EXPECT_EQ(profile_.Secret(), "top/secret");
  worker_.PollOnce();
  EXPECT_EQ(RequestsTo(Action("connector-poll")).back().headers.back(),
            HttpHeader("X-Tolvenar-Connector", "top/secret"));

  // Still read-only: the next try fails the same way and keeps it.
  worker_.logged.clear();
  worker_.StoreEnrollment(profile_.ConnectorID(), profile_.Secret());
  EXPECT_THAT(worker_.logged, ElementsAre(refused));
  EXPECT_TRUE(profile_.EnrollmentUnsaved());

  std::filesystem::permissions(ini, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  worker_.logged.clear();
  worker_.StoreEnrollment(profile_.ConnectorID(), profile_.Secret());
  EXPECT_THAT(worker_.logged, ElementsAre("Vinculacao concluida com sucesso."));
  EXPECT_FALSE(profile_.EnrollmentUnsaved());
  const std::string stored = dir_.Read("TolvenarConnector.ini");
  EXPECT_THAT(stored, HasSubstr("ConnectorID=42\r\n"));
  EXPECT_THAT(stored, HasSubstr("CodigoVinculacao=\r\n"));
  EXPECT_EQ(RequestsTo(Action("connector-enroll")).size(), 1u);
}

// A secret that cannot be protected here is not lost with the spent code:
// it stays in memory as it is, is used, and each turn's save tries again
// until protection works.
TEST_F(ExchangeTest, AnIssuedSecretThatCannotBeProtectedIsKeptAndSavedLater) {
  dir_.Write("TolvenarConnector.ini",
             "[Connector]\r\nCNPJ=12345678000199\r\nCodigoVinculacao=C1\r\n");
  profile_.SetEnrollmentCode("C1");
  Route(Action("connector-enroll"), [](const HttpRequest&) {
    return Reply(200, "{\"connector_id\":\"42\",\"connector_secret\":\"top/secret\"}");
  });
  Route(Action("connector-poll"), [](const HttpRequest&) { return Reply(204); });
  env_.protector().FailProtect(true);

  EXPECT_TRUE(worker_.Enroll());
  const std::string refused = "Falha de comunicacao: System Error.  Code: 13.\r\nPermission denied";
  EXPECT_THAT(worker_.logged, ElementsAre(refused));
  EXPECT_TRUE(profile_.EnrollmentUnsaved());
  EXPECT_EQ(profile_.ConnectorID(), "42");
  EXPECT_EQ(profile_.Secret(), "top/secret");
  EXPECT_EQ(profile_.SecretEncrypted(), "") << "nothing half-protected is held";
  EXPECT_THAT(dir_.Read("TolvenarConnector.ini"), Not(HasSubstr("top/secret")));
  worker_.PollOnce();
  EXPECT_EQ(RequestsTo(Action("connector-poll")).back().headers.back(),
            HttpHeader("X-Tolvenar-Connector", "top/secret"));

  // Each turn's save fails again, says so, and keeps the secret.
  worker_.logged.clear();
  worker_.StoreEnrollment(profile_.ConnectorID(), profile_.Secret());
  EXPECT_THAT(worker_.logged, ElementsAre(refused));
  EXPECT_EQ(profile_.Secret(), "top/secret");

  env_.protector().FailProtect(false);
  worker_.logged.clear();
  worker_.StoreEnrollment(profile_.ConnectorID(), profile_.Secret());
  EXPECT_THAT(worker_.logged, ElementsAre("Vinculacao concluida com sucesso."));
  EXPECT_FALSE(profile_.EnrollmentUnsaved());
  EXPECT_NE(profile_.SecretEncrypted(), "");
  EXPECT_EQ(profile_.Secret(), "top/secret");
  const std::string stored = dir_.Read("TolvenarConnector.ini");
  EXPECT_THAT(stored, HasSubstr("ConnectorID=42\r\n"));
  EXPECT_THAT(stored, Not(HasSubstr("top/secret")));
  EXPECT_EQ(RequestsTo(Action("connector-enroll")).size(), 1u);
}

TEST_F(ExchangeTest, EnrollGoesOnWithAnEmptyVersionWhenTheProbeFails) {
  profile_.SetEnrollmentCode("X");
  Route(Action("connector-enroll"), [](const HttpRequest&) { return Reply(403); });
  EXPECT_FALSE(worker_.Enroll());
  EXPECT_EQ(RequestsTo(Action("connector-enroll"))[0].body,
            "{\"code\":\"X\",\"cnpj\":\"12345678000199\",\"connector_version\":\"" +
                std::string(kConnectorVersion) + "\",\"local_api_version\":\"\"}");
  EXPECT_THAT(worker_.logged, ElementsAre("Vinculacao recusada (HTTP 403)."));
  EXPECT_EQ(profile_.EnrollmentCode(), "X");
}

TEST_F(ExchangeTest, UnusableEnrollAnswersAreSilentAndStoreNothing) {
  profile_.SetEnrollmentCode("X");
  for (auto [status, body] : std::vector<std::pair<int, std::string>>{
           {204, ""},
           {200, ""},
           {200, "nope"},
           {200, "[]"},
           {200, "{\"connector_id\":\"x\"}"},
           {200, "{\"connector_id\":\"x\",\"connector_secret\":null}"},
           {200, "{\"connector_id\":{},\"connector_secret\":\"s\"}"},
           {200, "{\"connector_id\":\"\",\"connector_secret\":\"s\"}"}}) {
    Route(Action("connector-enroll"), [=](const HttpRequest&) { return Reply(status, body); });
    EXPECT_FALSE(worker_.Enroll()) << body;
  }
  EXPECT_THAT(worker_.logged, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "TolvenarConnector.ini"));
  EXPECT_EQ(profile_.EnrollmentCode(), "X");
}

TEST_F(ExchangeTest, PollWithoutCommandDoesNothingMore) {
  Enrolled("s1");
  for (auto [status, body] :
       std::vector<std::pair<int, std::string>>{{204, "{\"command\":{\"path\":\"/health\"}}"},
                                                {200, "{}"},
                                                {200, ""},
                                                {200, "{\"command\":null}"},
                                                {200, "{\"command\":\"/health\"}"},
                                                {200, "{\"command\":[]}"},
                                                {200, "[{\"command\":{}}]"}}) {
    Route(Action("connector-poll"), [=](const HttpRequest&) { return Reply(status, body); });
    worker_.PollOnce();
  }
  EXPECT_EQ(env_.http().Requests().size(), 7u);
  for (const HttpRequest& r : env_.http().Requests()) {
    EXPECT_EQ(r.body, "{}");
    EXPECT_EQ(r.headers.back(), HttpHeader("X-Tolvenar-Connector", "s1"));
  }
  EXPECT_THAT(worker_.logged, IsEmpty());
}

TEST_F(ExchangeTest, PollRefusedByStatusIsLogged) {
  Enrolled("s1");
  Route(Action("connector-poll"), [](const HttpRequest&) { return Reply(503, "busy"); });
  worker_.PollOnce();
  EXPECT_THAT(worker_.logged, ElementsAre("Servidor de conexao respondeu HTTP 503."));
}

TEST_F(ExchangeTest, CommandIsRelayedAndItsOutcomeReportedWithAFreshSecret) {
  Enrolled("s1");
  Route(Action("connector-poll"), [](const HttpRequest&) {
    return Reply(200,
                 "{\"command\":{\"id\":7,\"method\":\"post\",\"path\":\"\\/api\\/v1\\/ia\\/chat\","
                 "\"body\":\"{\\\"q\\\":\\\"ol\\u00E1\\\"}\",\"authorization\":\"Bearer t\"}}");
  });
  Route(Action("connector-result"), [](const HttpRequest&) { return Reply(200); });
  // Make the secret change between the poll and the result post.
  Route(std::string(kLocal) + "/api/v1/ia/chat", [this](const HttpRequest& r) {
    EXPECT_EQ(r.body, "{\"q\":\"ol\xC3\xA1\"}");
    Enrolled("s2");
    return Reply(201, "{\"ok\":true,\"a\":\"\xC3\xA7/\"}");
  });
  worker_.PollOnce();
  const auto results = RequestsTo(Action("connector-result"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].body,
            "{\"command_id\":\"7\",\"http_status\":201,\"body\":\"{\\\"ok\\\":true,\\\"a\\\":"
            "\\\"\\u00E7\\/\\\"}\",\"error\":\"\"}");
  EXPECT_EQ(results[0].headers.back(), HttpHeader("X-Tolvenar-Connector", "s2"));
  EXPECT_THAT(worker_.logged, IsEmpty());
}

TEST_F(ExchangeTest, RefusedRouteAndUnreachableLocalApiAreReported) {
  Enrolled("s1");
  struct Case {
    const char* command;
    const char* result;
  };
  for (const Case& c : {
           Case{"{\"id\":\"a\",\"method\":\"GET\",\"path\":\"/api/v1/admin\"}",
                "{\"command_id\":\"a\",\"http_status\":403,\"body\":\"\",\"error\":\"Rota nao "
                "autorizada pelo Connector.\"}"},
           Case{"{\"method\":\"GET\"}",
                "{\"command_id\":\"\",\"http_status\":403,\"body\":\"\",\"error\":\"Rota nao "
                "autorizada pelo Connector.\"}"},
           Case{"{\"id\":\"b\",\"method\":\"GET\",\"path\":\"/health\"}",
                "{\"command_id\":\"b\",\"http_status\":502,\"body\":\"\",\"error\":\"Error "
                "sending data: (7) Couldn't connect to server\"}"},
       }) {
    Route(Action("connector-poll"), [=](const HttpRequest&) {
      return Reply(200, std::string("{\"command\":") + c.command + "}");
    });
    Route(Action("connector-result"), [](const HttpRequest&) { return Reply(200); });
    worker_.PollOnce();
    EXPECT_EQ(RequestsTo(Action("connector-result")).back().body, c.result);
  }
}

TEST_F(ExchangeTest, CommandBodyThatIsAnObjectSendsAnEmptyBody) {
  Enrolled("s1");
  Route(Action("connector-poll"), [](const HttpRequest&) {
    return Reply(200,
                 "{\"command\":{\"id\":\"1\",\"method\":\"POST\",\"path\":\"/api/v1/client\","
                 "\"body\":{\"a\":1}}}");
  });
  std::string local_body = "unset";
  Route(std::string(kLocal) + "/api/v1/client", [&](const HttpRequest& r) {
    local_body = r.body;
    return Reply(200, "{}");
  });
  Route(Action("connector-result"), [](const HttpRequest&) { return Reply(200); });
  worker_.PollOnce();
  EXPECT_EQ(local_body, "");
}

TEST_F(ExchangeTest, RefusedResultIsLoggedWithTheCommandId) {
  Enrolled("s1");
  Route(Action("connector-poll"), [](const HttpRequest&) {
    return Reply(200, "{\"command\":{\"id\":7,\"path\":\"/health\",\"method\":\"GET\"}}");
  });
  Route(std::string(kLocal) + "/health", [](const HttpRequest&) { return Reply(200, "{}"); });
  Route(Action("connector-result"), [](const HttpRequest&) { return Reply(500, "oops"); });
  worker_.PollOnce();
  EXPECT_THAT(worker_.logged, ElementsAre("Falha ao devolver comando 7 (HTTP 500)."));
}

// A command id carrying a line break or a huge text must not forge or
// flood log lines.
TEST_F(ExchangeTest, RefusedResultLogsTheIdFitForOneLine) {
  Enrolled("s1");
  struct Case {
    std::string id_json;  // as the server writes it
    std::string logged;
  };
  for (const Case& c : {
           Case{"\"7\\r\\n2026-01-01 00:00:00 [12345678000190] Vinculacao concluida com "
                "sucesso.\"",
                "Falha ao devolver comando 7??2026-01-01 00:00:00 [12345678000190] Vinculacao "
                "concluida com sucesso. (HTTP 500)."},
           Case{"\"" + std::string(10 << 20, 'x') + "\"",
                "Falha ao devolver comando " + std::string(200, 'x') + " (HTTP 500)."},
           Case{"\"\\u00E7\\u0000\\u007F\\t\"",
                "Falha ao devolver comando \xC3\xA7??? (HTTP 500)."},
       }) {
    worker_.logged.clear();
    Route(Action("connector-poll"), [&](const HttpRequest&) {
      return Reply(200, "{\"command\":{\"id\":" + c.id_json + ",\"path\":\"/x\"}}");
    });
    Route(Action("connector-result"), [](const HttpRequest&) { return Reply(500, "no"); });
    worker_.PollOnce();
    EXPECT_THAT(worker_.logged, ElementsAre(c.logged));
  }
  // The result itself still carries the id unchanged.
  Route(Action("connector-poll"), [&](const HttpRequest&) {
    return Reply(200, "{\"command\":{\"id\":\"a\\r\\nb\",\"path\":\"/x\"}}");
  });
  worker_.PollOnce();
  EXPECT_THAT(RequestsTo(Action("connector-result")).back().body,
              HasSubstr("\"command_id\":\"a\\r\\nb\""));
}

// A server exchange follows redirects only within the server's own origin:
// a redirect elsewhere (the local API, another host, another port) fails
// before anything is sent there, for every action.
TEST_F(ExchangeTest, ServerRedirectsStayOnTheServerOrigin) {
  Enrolled("s1");
  profile_.SetEnrollmentCode("CODE-1");
  Route(std::string(kLocal) + "/health", [](const HttpRequest&) { return Reply(200, "{}"); });
  const std::vector<std::string> elsewhere = {
      "https://127.0.0.1:3001/api/v1/admin/delete-all",
      "https://srv.test:8443/conn/api.php?action=connector-poll",
      "https://other.test/conn/api.php",
      "//other.test/steal",
  };
  for (const std::string action : {"connector-poll", "connector-enroll", "connector-result"}) {
    for (int status : {301, 302, 303, 307, 308}) {
      for (const std::string& location : elsewhere) {
        SCOPED_TRACE(action + " " + std::to_string(status) + " " + location);
        env_.http().ClearRequests();
        Route(Action(action), [&](const HttpRequest&) {
          HttpResponse r = Reply(status);
          r.headers = {{"Location", location}};
          return r;
        });
        int got = 0;
        std::string text;
        try {
          worker_.PostServerAction(action, "{\"code\":\"CODE-1\"}", "s1", got, text);
          ADD_FAILURE() << "the redirect was followed";
        } catch (const Exception& e) {
          const std::string target = location.starts_with("//") ? "https:" + location : location;
          EXPECT_EQ(std::string(e.what()), "Redirect to another origin refused: " + target);
        }
        EXPECT_EQ(env_.http().Requests().size(), 1u);
      }
    }
  }
  // Through the operations: nothing reaches the local API, the error is raised
  // for the loop to log.
  env_.http().ClearRequests();
  Route(Action("connector-poll"), [](const HttpRequest&) {
    HttpResponse r = Reply(303);
    r.headers = {{"Location", "https://127.0.0.1:3001/api/v1/admin/export"}};
    return r;
  });
  EXPECT_THROW(worker_.PollOnce(), Exception);
  EXPECT_EQ(env_.http().Requests().size(), 1u);
}

TEST_F(ExchangeTest, ServerRedirectsWithinTheOriginAreFollowed) {
  Route(Action("connector-poll"), [](const HttpRequest&) {
    HttpResponse r = Reply(307);
    r.headers = {{"Location", "https://SRV.test:443/conn/v2/api.php?action=connector-poll"}};
    return r;
  });
  Route("https://srv.test/conn/v2/api.php?action=connector-poll",
        [](const HttpRequest& r) { return Reply(200, r.body); });
  int status = 0;
  std::string text;
  EXPECT_TRUE(worker_.PostServerAction("connector-poll", "{}", "s1", status, text));
  EXPECT_EQ(text, "{}");
  EXPECT_EQ(env_.http().Requests().back().headers.back(), HttpHeader("X-Tolvenar-Connector", "s1"));
}

// The local application may redirect within itself or elsewhere as before;
// credentials still stay on the origin the call began with.
TEST_F(ExchangeTest, LocalApiRedirectsKeepTheirRules) {
  Route(std::string(kLocal) + "/api/v1/client", [](const HttpRequest&) {
    HttpResponse r = Reply(302);
    r.headers = {{"Location", "http://127.0.0.1:4000/elsewhere"}};
    return r;
  });
  Route("http://127.0.0.1:4000/elsewhere", [](const HttpRequest&) { return Reply(200, "ok"); });
  int status = 0;
  std::string body, error;
  EXPECT_TRUE(
      worker_.CallLocalAPI("GET", "/api/v1/client", "", "Bearer t", "", status, body, error));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, "ok");
  EXPECT_EQ(FindHeader(env_.http().Requests().back().headers, "Authorization"), nullptr);
}

// Every exchange of a worker carries the worker's stop signal, so that a
// peer trickling bytes cannot hold a stop.
TEST_F(ExchangeTest, EveryExchangeCarriesTheWorkersStopSignal) {
  Enrolled("s1");
  Route(Action("connector-poll"), [](const HttpRequest&) {
    return Reply(200, "{\"command\":{\"id\":1,\"path\":\"/health\",\"method\":\"GET\"}}");
  });
  Route(std::string(kLocal) + "/health", [](const HttpRequest&) { return Reply(200, "{}"); });
  Route(Action("connector-result"), [](const HttpRequest&) { return Reply(200); });
  worker_.PollOnce();
  worker_.QueryLocalAPIVersion();
  ASSERT_EQ(env_.http().Requests().size(), 4u);
  for (const HttpRequest& r : env_.http().Requests()) {
    EXPECT_EQ(r.stop, &worker_.StopRequest()) << r.url;
  }
}

}  // namespace
}  // namespace tolvenar
