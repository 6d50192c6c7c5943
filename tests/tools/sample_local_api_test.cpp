// The sample local API, driven over HTTP as the connector relays requests.
#include "reference_server/sample_local_api.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <thread>

namespace tolvenar::tools {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using Json = nlohmann::json;

class SampleLocalApiTest : public ::testing::Test {
 protected:
  httplib::Result Send(const std::string& method, const std::string& path,
                       const std::string& body = "", httplib::Headers headers = {}) {
    httplib::Client client(api_.BaseURL());
    if (method == "GET") return client.Get(path, headers);
    return client.Post(path, headers, body, "application/json");
  }

  SampleLocalApi api_{ListenOptions{}, "7.3.0"};
};

TEST_F(SampleLocalApiTest, HealthRoutesReportTheVersion) {
  for (const char* path : {"/health", "/api/v1/health"}) {
    const httplib::Result result = Send("GET", path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(Json::parse(result->body).at("version"), "7.3.0") << path;
  }
}

TEST_F(SampleLocalApiTest, EveryRelayedRouteAnswersWithAJsonObject) {
  // The routes the connector relays; a few answer 4xx to a bare request.
  struct Case {
    const char* path;
    int bare_status;
  };
  const Case cases[] = {
      {"/api/v1/auth/login", 401},
      {"/api/v1/auth/logout", 200},
      {"/api/v1/dashboard/summary", 200},
      {"/api/v1/dashboard/legacy", 200},
      {"/api/v1/sales/indicators", 200},
      {"/api/v1/sales/sellers", 200},
      {"/api/v1/sales/sections", 200},
      {"/api/v1/sales/peak-hours", 200},
      {"/api/v1/sales/list", 200},
      {"/api/v1/sales/document", 200},
      {"/api/v1/finance/dre", 200},
      {"/api/v1/finance/chart-of-accounts", 200},
      {"/api/v1/people/search", 200},
      {"/api/v1/products/search", 200},
      {"/api/v1/purchases/search", 200},
      {"/api/v1/purchases/document", 200},
      {"/api/v1/ia/chat", 400},
      {"/api/v1/client", 200},
      {"/api/v1/database/health", 200},
      {"/api/v1/secure/ping", 401},
      {"/health", 200},
      {"/api/v1/health", 200},
  };
  for (const Case& c : cases) {
    for (const char* method : {"GET", "POST"}) {
      const httplib::Result result = Send(method, c.path);
      ASSERT_TRUE(result) << c.path;
      EXPECT_EQ(result->status, c.bare_status) << method << " " << c.path;
      EXPECT_TRUE(Json::parse(result->body, nullptr, false).is_object()) << c.path;
      EXPECT_THAT(result->get_header_value("Content-Type"), HasSubstr("application/json"));
    }
  }
  EXPECT_EQ(Send("GET", "/api/v1/unknown")->status, 404);
  EXPECT_EQ(Send("GET", "/API/V1/HEALTH")->status, 404) << "paths are matched exactly";
}

TEST_F(SampleLocalApiTest, RoutesUseTheRequestsBodyAndCredentials) {
  const httplib::Result login =
      Send("POST", "/api/v1/auth/login", R"({"usuario":"ana","senha":"x"})");
  EXPECT_EQ(login->status, 200);
  EXPECT_EQ(Json::parse(login->body).at("usuario"), "ana");
  const httplib::Result chat = Send("POST", "/api/v1/ia/chat", "{\"mensagem\":\"Ol\xC3\xA1\"}");
  EXPECT_EQ(Json::parse(chat->body).at("pergunta"), "Ol\xC3\xA1");
  EXPECT_EQ(Send("GET", "/api/v1/secure/ping", "", {{"X-Tolvenar-Session", "s"}})->status, 200);
  EXPECT_EQ(Send("GET", "/api/v1/secure/ping", "", {{"Authorization", "Bearer t"}})->status, 200);
}

TEST_F(SampleLocalApiTest, RecordsEachRequestWithItsAnswer) {
  Send("POST", "/api/v1/people/search?x=1", R"({"termo":"Maria"})",
       {{"Authorization", "Bearer t"}, {"X-Tolvenar-Session", "s1"}});
  const std::vector<RecordedRequest> requests = api_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/api/v1/people/search?x=1");
  EXPECT_EQ(r.path, "/api/v1/people/search");
  EXPECT_EQ(r.body, R"({"termo":"Maria"})");
  EXPECT_EQ(r.Header("authorization"), "Bearer t");
  EXPECT_EQ(r.Header("X-Tolvenar-Session"), "s1");
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(r.response_status, 200);
  EXPECT_EQ(Json::parse(r.response_body).at("termo"), "Maria");
  EXPECT_EQ(api_.Requests("/api/v1/people/search").size(), 1u);
  EXPECT_TRUE(api_.Requests("/health").empty());
}

TEST_F(SampleLocalApiTest, AFaultMakesARouteFailUntilRemoved) {
  api_.SetFault("/api/v1/finance/dre", RouteFault{500, 0, ""});
  api_.SetFault("/api/v1/client", RouteFault{503, 0, "\xE9t\xE9"});
  const httplib::Result dre = Send("GET", "/api/v1/finance/dre");
  EXPECT_EQ(dre->status, 500);
  EXPECT_EQ(Json::parse(dre->body).at("erro"), "Falha simulada na rota /api/v1/finance/dre.");
  EXPECT_EQ(Send("GET", "/api/v1/client")->body, "\xE9t\xE9");

  api_.SetFault("/api/v1/finance/dre", RouteFault{0, 0, ""});
  EXPECT_EQ(Send("GET", "/api/v1/finance/dre")->status, 200);
  EXPECT_EQ(api_.Requests("/api/v1/finance/dre")[0].response_status, 500);
}

TEST_F(SampleLocalApiTest, AdminRoutesSetFaultsAndListRequests) {
  httplib::Client admin(api_.BaseURL());
  EXPECT_EQ(admin.Post("/admin/faults", R"({"status":500})", "application/json")->status, 400);
  EXPECT_EQ(
      admin.Post("/admin/faults", R"({"path":"/health","status":"x"})", "application/json")->status,
      400);
  EXPECT_EQ(
      admin.Post("/admin/faults", R"({"path":"/health","status":502})", "application/json")->status,
      200);
  EXPECT_EQ(Send("GET", "/health")->status, 502);
  const Json requests = Json::parse(admin.Get("/admin/requests")->body);
  ASSERT_EQ(requests.size(), 1u) << "admin requests are not recorded";
  EXPECT_EQ(requests[0].at("target"), "/health");
  EXPECT_EQ(requests[0].at("response_status"), 502);
  EXPECT_THAT(admin.Get("/admin/report")->body, HasSubstr("GET /health -> 502"));
}

TEST_F(SampleLocalApiTest, AdminRoutesMaskCredentialHeadersThatRequestsKeeps) {
  Send("GET", "/api/v1/secure/ping", "",
       {{"Authorization", "Bearer token-secreto"}, {"X-Tolvenar-Session", "sessao-secreta"}});
  httplib::Client admin(api_.BaseURL());
  const std::string listed = admin.Get("/admin/requests")->body;
  const std::string report = admin.Get("/admin/report")->body;
  for (const std::string& text : {listed, report}) {
    EXPECT_EQ(text.find("token-secreto"), std::string::npos) << text;
    EXPECT_EQ(text.find("sessao-secreta"), std::string::npos) << text;
  }
  std::map<std::string, std::string> headers;
  const Json first = Json::parse(listed).at(0);
  for (const Json& header : first.at("headers"))
    headers[header[0].get<std::string>()] = header[1].get<std::string>();
  EXPECT_EQ(headers["Authorization"], "***");
  EXPECT_EQ(headers["X-Tolvenar-Session"], "***");
  EXPECT_THAT(report, HasSubstr("Authorization: ***"));
  EXPECT_EQ(api_.Requests().at(0).Header("Authorization"), "Bearer token-secreto");
}

TEST(SampleLocalApiStopTest, StopsWithoutWaitingForASlowAnswer) {
  auto api = std::make_unique<SampleLocalApi>();
  api->SetFault("/health", RouteFault{0, 600000, ""});
  std::thread client([url = api->BaseURL()] {
    httplib::Client c(url);
    c.Get("/health");
  });
  // Give the request time to reach the route; stopping must not wait for
  // the ten minutes of its delay.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  api.reset();
  client.join();
}

}  // namespace
}  // namespace tolvenar::tools
