// The client layer over a scripted transport: what it hands the transport
// for each hop of an exchange, and what it makes of the answers.
#include "http/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "base/exception.h"
#include "base/version.h"
#include "support/compression.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

HttpResponse Answer(int status, HttpHeaders headers = {}, std::string body = {}) {
  return HttpResponse{status, std::move(headers), std::move(body)};
}

HttpResponse RedirectTo(int status, std::string location) {
  return Answer(status, {{"Location", std::move(location)}});
}

const HttpHeaders kServerHeaders = {{"Content-Type", "application/json"},
                                    {"Accept", "application/json"},
                                    {"X-Tolvenar-Connector-Version", kConnectorVersion},
                                    {"X-Tolvenar-Connector", "secret"}};

class HttpClientTest : public ::testing::Test {
 protected:
  // Answers by URL; a URL without an entry gets 200 "done".
  void Script(std::map<std::string, HttpResponse> answers) {
    env_.http().SetHandler([answers = std::move(answers)](const HttpRequest& request) {
      auto found = answers.find(request.url);
      return found != answers.end() ? found->second : Answer(200, {}, "done");
    });
  }

  HttpClientResponse Send(const std::string& method, const std::string& url,
                          const HttpHeaders& headers = {}, const std::string& body = {}) {
    HttpClient client(env_, 5000, 35000);
    return client.Send(method, url, headers, body);
  }

  std::string FailureOf(const std::string& method, const std::string& url,
                        const HttpHeaders& headers = {}) {
    try {
      Send(method, url, headers);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "no failure";
  }

  std::vector<HttpRequest> Requests() { return env_.http().Requests(); }

  testing::TempDir dir_;
  testing::FakeEnv env_{dir_.Dir()};
};

TEST_F(HttpClientTest, HandsTheTransportANormalizedUrlTheTimeOutsAndTheHeadersInOrder) {
  Script({});
  const HttpHeaders headers = {{"Accept", "application/json"},
                               {"Content-Type", "application/json"}};
  const HttpClientResponse response =
      Send("POST", "HTTP://LocalHost:80/api/v1/ia/chat?q=a b", headers, "{}");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "done");
  ASSERT_EQ(Requests().size(), 1u);
  const HttpRequest request = Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "http://localhost/api/v1/ia/chat?q=a%20b");
  EXPECT_EQ(request.headers, headers);
  EXPECT_EQ(request.body, "{}");
  EXPECT_EQ(request.connect_timeout_ms, 5000);
  EXPECT_EQ(request.response_timeout_ms, 35000);
}

TEST_F(HttpClientTest, LeavesBodyFramingToTheTransport) {
  Script({});
  Send("POST", "http://h/",
       {{"content-length", "99"}, {"Accept", "*/*"}, {"Transfer-Encoding", "chunked"}}, "body");
  EXPECT_THAT(Requests()[0].headers, ElementsAre(Pair("Accept", "*/*")));
}

TEST_F(HttpClientTest, InvalidUrlsFailBeforeAnythingIsSent) {
  Script({});
  EXPECT_EQ(FailureOf("GET", ""), "Invalid URL: \"\"");
  EXPECT_EQ(FailureOf("GET", "127.0.0.1:3001/health"), "Invalid URL: \"127.0.0.1:3001/health\"");
  EXPECT_EQ(FailureOf("POST", "https:///api.php?action=connector-poll"),
            "Invalid URL: \"https:///api.php?action=connector-poll\"");
  EXPECT_TRUE(Requests().empty());
}

TEST_F(HttpClientTest, NoTransportMeansNoSessionHandle) {
  class NoTransportEnv : public EnvWrapper {
   public:
    NoTransportEnv() : EnvWrapper(Env::Default()) {}
    std::unique_ptr<HttpTransport> NewHttpTransport() override { return nullptr; }
  } env;
  try {
    HttpClient client(env, 1, 1);
    FAIL() << "client created";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Error obtaining session handle");
  }
}

TEST_F(HttpClientTest, TransportFailuresReachTheCallerUnchanged) {
  env_.http().SetHandler([](const HttpRequest&) -> HttpResponse {
    throw Exception("Error receiving data: (28) Timeout was reached");
  });
  EXPECT_EQ(FailureOf("GET", "http://h/"), "Error receiving data: (28) Timeout was reached");
}

struct MethodCase {
  int status;
  const char* method;
  const char* next_method;
  bool keeps_body;
};

class HttpClientMethodTest : public HttpClientTest,
                             public ::testing::WithParamInterface<MethodCase> {};

TEST_P(HttpClientMethodTest, RepeatsOrRewritesTheRequest) {
  const MethodCase& c = GetParam();
  Script({{"http://h/from", RedirectTo(c.status, "/to")}});
  Send(c.method, "http://h/from", kServerHeaders, "{\"a\":1}");
  ASSERT_EQ(Requests().size(), 2u);
  const HttpRequest next = Requests()[1];
  EXPECT_EQ(next.url, "http://h/to");
  EXPECT_EQ(next.method, c.next_method);
  if (c.keeps_body) {
    EXPECT_EQ(next.body, "{\"a\":1}");
    EXPECT_EQ(next.headers, kServerHeaders);
  } else {
    EXPECT_EQ(next.body, "");
    EXPECT_EQ(next.headers, HttpHeaders(kServerHeaders.begin() + 1, kServerHeaders.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Redirects, HttpClientMethodTest,
    ::testing::Values(MethodCase{301, "POST", "GET", false}, MethodCase{302, "POST", "GET", false},
                      MethodCase{303, "POST", "GET", false}, MethodCase{307, "POST", "POST", true},
                      MethodCase{308, "POST", "POST", true}, MethodCase{300, "POST", "POST", true},
                      MethodCase{303, "GET", "GET", true}),
    [](const auto& info) {
      return std::string(info.param.method) + std::to_string(info.param.status);
    });

TEST_F(HttpClientTest, AnswersThatAreNotFollowedComeBackAsTheyAre) {
  Script({{"http://h/no-location", Answer(302, {}, "moved")},
          {"http://h/blank-location", Answer(301, {{"Location", " \t "}}, "blank")},
          {"http://h/use-proxy", RedirectTo(305, "/elsewhere")},
          {"http://h/not-modified", RedirectTo(304, "/elsewhere")}});
  EXPECT_EQ(Send("GET", "http://h/no-location").body, "moved");
  EXPECT_EQ(Send("GET", "http://h/blank-location").status, 301);
  EXPECT_EQ(Send("GET", "http://h/use-proxy").status, 305);
  EXPECT_EQ(Send("GET", "http://h/not-modified").status, 304);
  EXPECT_EQ(Requests().size(), 4u);
}

TEST_F(HttpClientTest, ResolvesLocationsAgainstTheUrlJustRequested) {
  Script({{"http://h/a/b/start", RedirectTo(302, " ../c/next?x=1 ")},
          {"http://h/a/c/next?x=1", RedirectTo(302, "//other:8080/p")},
          {"http://other:8080/p", RedirectTo(307, "?q")}});
  Send("GET", "http://h/a/b/start");
  ASSERT_EQ(Requests().size(), 4u);
  EXPECT_EQ(Requests()[3].url, "http://other:8080/p?q");
}

TEST_F(HttpClientTest, TheSixthRedirectFails) {
  std::map<std::string, HttpResponse> chain;
  for (int i = 0; i < 6; ++i) {
    chain["http://h/" + std::to_string(i)] = RedirectTo(302, "/" + std::to_string(i + 1));
  }
  Script(chain);
  EXPECT_EQ(FailureOf("GET", "http://h/0"), "Maximum number of redirections (5) exceeded");
  EXPECT_EQ(Requests().size(), 6u);
  EXPECT_EQ(Send("GET", "http://h/1").body, "done");  // five redirects, then the answer
}

TEST_F(HttpClientTest, AnUnparsableLocationIsAnInvalidUrl) {
  Script({{"http://h/", RedirectTo(302, "http://:99/x")}});
  EXPECT_EQ(FailureOf("GET", "http://h/"), "Invalid URL: \"http://:99/x\"");
}

TEST_F(HttpClientTest, RefusesARedirectFromHttpsToPlainHttp) {
  Script({{"https://h/a/start", RedirectTo(302, "http://h/next")},
          {"https://h/b/start", RedirectTo(307, "FTP://h/next")},
          {"https://h/c/start", RedirectTo(302, "//other/x")},
          {"http://h/d/start", RedirectTo(302, "https://h/secure")}});
  EXPECT_EQ(FailureOf("POST", "https://h/a/start"),
            "Redirect from HTTPS to HTTP refused: http://h/next");
  EXPECT_EQ(FailureOf("POST", "https://h/b/start"),
            "Redirect from HTTPS to HTTP refused: FTP://h/next");
  EXPECT_EQ(Requests().size(), 2u);
  // Staying on https, or moving up from http, is fine.
  EXPECT_EQ(Send("GET", "https://h/c/start").body, "done");
  EXPECT_EQ(Requests().back().url, "https://other/x");
  EXPECT_EQ(Send("GET", "http://h/d/start").body, "done");
  EXPECT_EQ(Requests().back().url, "https://h/secure");
}

struct OriginCase {
  const char* location;
  bool same_origin;
};

class HttpClientOriginTest : public HttpClientTest,
                             public ::testing::WithParamInterface<OriginCase> {};

TEST_P(HttpClientOriginTest, CredentialsGoOnlyToTheFirstOrigin) {
  Script({{"http://api.local:3001/api/v1/client", RedirectTo(307, GetParam().location)}});
  const HttpHeaders headers = {
      {"Accept", "application/json"},     {"Content-Type", "application/json"},
      {"authorization", "Bearer t"},      {"X-Tolvenar-Session", "s"},
      {"X-TOLVENAR-CONNECTOR", "secret"}, {"X-Other", "kept"}};
  Send("POST", "http://api.local:3001/api/v1/client", headers, "{}");
  ASSERT_EQ(Requests().size(), 2u);
  EXPECT_EQ(Requests()[0].headers, headers);
  if (GetParam().same_origin) {
    EXPECT_EQ(Requests()[1].headers, headers);
  } else {
    EXPECT_THAT(Requests()[1].headers,
                ElementsAre(Pair("Accept", "application/json"),
                            Pair("Content-Type", "application/json"), Pair("X-Other", "kept")));
  }
}

INSTANTIATE_TEST_SUITE_P(Redirects, HttpClientOriginTest,
                         ::testing::Values(OriginCase{"/api/v1/other", true},
                                           OriginCase{"HTTP://API.LOCAL:3001/x", true},
                                           OriginCase{"http://api.local:3002/x", false},
                                           OriginCase{"http://api.local/x", false},
                                           OriginCase{"http://127.0.0.1:3001/x", false},
                                           OriginCase{"https://api.local:3001/x", false}),
                         [](const auto& info) { return "Location" + std::to_string(info.index); });

TEST_F(HttpClientTest, DefaultPortsBelongToTheOrigin) {
  Script({{"https://h/a", RedirectTo(308, "https://h:443/b")}});
  Send("POST", "https://h/a", kServerHeaders, "{}");
  EXPECT_EQ(Requests()[1].headers, kServerHeaders);
}

TEST_F(HttpClientTest, CredentialsComeBackWhenTheExchangeReturnsToItsOrigin) {
  Script({{"http://h/a", RedirectTo(307, "http://elsewhere/b")},
          {"http://elsewhere/b", RedirectTo(307, "http://h/c")}});
  Send("POST", "http://h/a", kServerHeaders, "{}");
  ASSERT_EQ(Requests().size(), 3u);
  EXPECT_EQ(Requests()[1].headers.size(), 3u);
  EXPECT_EQ(Requests()[2].headers, kServerHeaders);
}

TEST_F(HttpClientTest, CookiesGoBackToTheirHostWithinOneExchangeOnly) {
  Script(
      {{"http://h/login", Answer(302, {{"Set-Cookie", "sid=1; Path=/"}, {"Location", "/check"}})},
       {"http://h/check", Answer(302, {{"Set-Cookie", "step=2"}, {"Location", "http://other/x"}})},
       {"http://other/x", RedirectTo(302, "http://h:8080/final")}});
  HttpClient client(env_, 5000, 35000);
  client.Send("GET", "http://h/login", {{"Cookie", "mine=0"}}, "");
  std::vector<HttpRequest> requests = Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_THAT(requests[0].headers, ElementsAre(Pair("Cookie", "mine=0")));
  EXPECT_THAT(requests[1].headers, ElementsAre(Pair("Cookie", "mine=0; sid=1")));
  EXPECT_THAT(requests[2].headers, ElementsAre(Pair("Cookie", "mine=0")));
  // Cookies belong to the host, whatever its port.
  EXPECT_THAT(requests[3].headers, ElementsAre(Pair("Cookie", "mine=0; sid=1; step=2")));

  client.Send("GET", "http://h/check", {}, "");
  EXPECT_TRUE(Requests()[4].headers.empty());
}

TEST_F(HttpClientTest, InflatesOnlyTheFinalAnswer) {
  Script(
      {{"http://h/start", Answer(302, {{"Location", "/gz"}, {"Content-Encoding", "gzip"}}, "junk")},
       {"http://h/gz",
        Answer(200, {{"Content-Encoding", "gzip"}}, testing::GzipCompress("inflated"))},
       {"http://h/no-content", Answer(204, {{"Content-Encoding", "gzip"}}, "junk")},
       {"http://h/broken", Answer(500, {{"content-encoding", "deflate"}}, "\xFF\xFF\xFF")}});
  EXPECT_EQ(Send("GET", "http://h/start").body, "inflated");
  EXPECT_EQ(Send("GET", "http://h/no-content").body, "");
  EXPECT_EQ(FailureOf("GET", "http://h/broken"), "Error reading data: (-3) data error");
}

TEST(DecodeResponseText, DropsOneLeadingByteOrderMark) {
  EXPECT_EQ(DecodeResponseText("\xEF\xBB\xBF{\"a\":\"\xC3\xA9\"}"), "{\"a\":\"\xC3\xA9\"}");
  EXPECT_EQ(DecodeResponseText("\xEF\xBB\xBF\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");
  EXPECT_EQ(DecodeResponseText(""), "");
}

TEST(DecodeResponseText, RefusesInvalidUtf8) {
  for (const std::string body :
       {"caf\xE9", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    try {
      DecodeResponseText(body);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(body);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(),
                "No mapping for the Unicode character exists in the target multi-byte code page");
    }
  }
}

}  // namespace
}  // namespace tolvenar
