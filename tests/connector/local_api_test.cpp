// The route allowlist and the requests relayed to the local API.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/exception.h"
#include "config/profile.h"
#include "support/exposed_worker.h"
#include "support/fake_env.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

TEST(IsRouteAllowedTest, WholePathsWithAsciiCaseFolding) {
  using W = testing::ExposedWorker;
  for (const char* allowed : {"/api/v1/auth/login",
                              "/api/v1/auth/logout",
                              "/api/v1/dashboard/summary",
                              "/api/v1/dashboard/legacy",
                              "/api/v1/sales/indicators",
                              "/api/v1/sales/sellers",
                              "/api/v1/sales/sections",
                              "/api/v1/sales/peak-hours",
                              "/api/v1/sales/list",
                              "/api/v1/sales/document",
                              "/api/v1/finance/dre",
                              "/api/v1/finance/chart-of-accounts",
                              "/api/v1/people/search",
                              "/api/v1/products/search",
                              "/api/v1/purchases/search",
                              "/api/v1/purchases/document",
                              "/api/v1/ia/chat",
                              "/api/v1/client",
                              "/api/v1/database/health",
                              "/api/v1/secure/ping",
                              "/health",
                              "/api/v1/health",
                              "/API/V1/HEALTH",
                              "/Api/V1/Sales/Peak-Hours",
                              "/HEALTH"}) {
    EXPECT_TRUE(W::IsRouteAllowed(allowed)) << allowed;
  }
  for (const char* refused :
       {"", "/", "/api/v1/sales/list?page=2", "/api/v1/sales/list/", " /health", "/health ",
        "/api/v1/sales/list#x", "/api/v1/admin", "/api/v1/%68ealth", "/api/v1/../v1/health",
        "api/v1/health", "/api/v1/healthz", "/he\xC3\xA4lth",
        "/\xC5\xBF"
        "alth"}) {
    EXPECT_FALSE(W::IsRouteAllowed(refused)) << refused;
  }
}

class LocalApiTest : public ::testing::Test {
 protected:
  LocalApiTest() : env_("."), profile_(&env_.protector()), worker_(&profile_, nullptr, &env_) {
    profile_.SetLocalAPIURL("http://127.0.0.1:3001");
  }
  void Answer(int status, std::string body, HttpHeaders headers = {}) {
    env_.http().SetHandler([=](const HttpRequest&) {
      HttpResponse response;
      response.status = status;
      response.body = body;
      response.headers = headers;
      return response;
    });
  }
  struct Outcome {
    bool result;
    int status;
    std::string body, error;
  };
  Outcome Call(const std::string& method, const std::string& path, const std::string& body = "",
               const std::string& authorization = "", const std::string& session = "") {
    Outcome o{};
    o.result =
        worker_.CallLocalAPI(method, path, body, authorization, session, o.status, o.body, o.error);
    return o;
  }

  testing::FakeEnv env_;
  TTolvenarConnectorProfile profile_;
  testing::ExposedWorker worker_;
};

TEST_F(LocalApiTest, RefusedRouteGives403WithoutAnyRequest) {
  Answer(200, "{}");
  for (const char* path : {"", "/api/v1/sales/list?page=2", "/api/v1/sales/list/"}) {
    const Outcome o = Call("GET", path);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.status, 403);
    EXPECT_EQ(o.body, "");
    EXPECT_EQ(o.error, "Rota nao autorizada pelo Connector.");
  }
  EXPECT_THAT(env_.http().Requests(), IsEmpty());
}

TEST_F(LocalApiTest, MethodChoosesGetOrPostAndHeadersFollowTheFixedOrder) {
  Answer(200, "{\"ok\":true}");
  struct Case {
    const char* method;
    const char* expected;
  };
  for (const Case& c :
       {Case{"GET", "GET"}, Case{"get", "GET"}, Case{"gEt", "GET"}, Case{"GET ", "POST"},
        Case{"", "POST"}, Case{"DELETE", "POST"}, Case{"post", "POST"}}) {
    const Outcome o = Call(c.method, "/API/V1/HEALTH", "{\"q\":1}");
    EXPECT_TRUE(o.result);
    const HttpRequest sent = env_.http().Requests().back();
    EXPECT_EQ(sent.method, c.expected) << c.method;
    EXPECT_EQ(sent.url, "http://127.0.0.1:3001/API/V1/HEALTH");
    EXPECT_EQ(sent.body, std::string(c.expected) == "GET" ? "" : "{\"q\":1}") << c.method;
    EXPECT_THAT(sent.headers, ElementsAre(Pair("Accept", "application/json"),
                                          Pair("Content-Type", "application/json")));
    EXPECT_EQ(sent.connect_timeout_ms, 5000);
    EXPECT_EQ(sent.response_timeout_ms, 35000);
  }
  Call("POST", "/api/v1/auth/login", "", "Bearer abc", "tok");
  EXPECT_THAT(
      env_.http().Requests().back().headers,
      ElementsAre(Pair("Accept", "application/json"), Pair("Content-Type", "application/json"),
                  Pair("Authorization", "Bearer abc"), Pair("X-Tolvenar-Session", "tok")));
  Call("POST", "/api/v1/auth/login", "", "", "tok");
  EXPECT_THAT(
      env_.http().Requests().back().headers,
      ElementsAre(Pair("Accept", "application/json"), Pair("Content-Type", "application/json"),
                  Pair("X-Tolvenar-Session", "tok")));
}

TEST_F(LocalApiTest, EveryAnswerIsReturnedWithItsStatusAndText) {
  struct Case {
    int status;
    std::string sent, expected;
  };
  for (const Case& c : {Case{500, "{\"error\":\"x\"}", "{\"error\":\"x\"}"}, Case{204, "", ""},
                        Case{401, "denied", "denied"},
                        Case{200, "\xEF\xBB\xBF{\"a\":\"\xC3\xA7\"}", "{\"a\":\"\xC3\xA7\"}"}}) {
    Answer(c.status, c.sent);
    const Outcome o = Call("GET", "/health");
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.body, c.expected);
    EXPECT_EQ(o.error, "");
  }
}

TEST_F(LocalApiTest, UndecodableBodyAndTransportFailureGive502WithTheMessage) {
  Answer(200, "caf\xE9");
  Outcome o = Call("GET", "/health");
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.status, 502);
  EXPECT_EQ(o.body, "");
  EXPECT_EQ(o.error,
            "No mapping for the Unicode character exists in the target multi-byte code page");

  env_.http().SetHandler([](const HttpRequest&) -> HttpResponse {
    throw Exception("Error sending data: (7) Couldn't connect to server");
  });
  o = Call("POST", "/api/v1/ia/chat", "{}");
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.status, 502);
  EXPECT_EQ(o.error, "Error sending data: (7) Couldn't connect to server");
}

TEST_F(LocalApiTest, EmptyBaseUrlFailsEveryCallWithTheInvalidUrlMessage) {
  profile_.SetLocalAPIURL("");
  Answer(200, "{}");
  const Outcome o = Call("GET", "/health");
  EXPECT_EQ(o.status, 502);
  EXPECT_EQ(o.error, "Invalid URL: \"/health\"");
  EXPECT_EQ(worker_.QueryLocalAPIVersion(), "");
}

TEST_F(LocalApiTest, VersionProbeReadsVersionOnlyFromA200Object) {
  struct Case {
    int status;
    const char* body;
    const char* version;
  };
  for (const Case& c :
       {Case{200, "{\"version\":\"1.4.2\"}", "1.4.2"}, Case{200, "{\"version\":2.50}", "2.50"},
        Case{200, "{\"v\":1}", ""}, Case{200, "[{\"version\":\"1\"}]", ""},
        Case{200, "not json", ""}, Case{201, "{\"version\":\"1\"}", ""},
        Case{503, "{\"version\":\"1\"}", ""}}) {
    Answer(c.status, c.body);
    EXPECT_EQ(worker_.QueryLocalAPIVersion(), c.version) << c.body;
    const HttpRequest sent = env_.http().Requests().back();
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.url, "http://127.0.0.1:3001/health");
    EXPECT_THAT(sent.headers, IsEmpty());
    EXPECT_EQ(sent.connect_timeout_ms, 3000);
    EXPECT_EQ(sent.response_timeout_ms, 3000);
  }
  env_.http().SetHandler(nullptr);  // not listening
  EXPECT_EQ(worker_.QueryLocalAPIVersion(), "");
}

}  // namespace
}  // namespace tolvenar
