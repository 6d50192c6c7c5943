// The WinHTTP transport against loopback servers in this process: one
// request, handed back as the server sent it, and the failure messages of
// the client.
#include "env/windows/winhttp_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/version.h"
#include "support/raw_http_server.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::SizeIs;
using tolvenar::testing::RawHttpServer;
using tolvenar::testing::RawReply;
using tolvenar::testing::RawRequest;

HttpRequest Request(const std::string& method, const std::string& url) {
  HttpRequest request;
  request.method = method;
  request.url = url;
  request.connect_timeout_ms = 5000;
  request.response_timeout_ms = 5000;
  return request;
}

std::string FailureOf(const HttpRequest& request) {
  try {
    NewWinHttpTransport()->Send(request);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<no failure>";
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// "<what>: (<code>) <text>": the platform's text is localized, so only its
// presence and its trimmed end are checked.
void ExpectFailureForm(const std::string& message, const std::string& what, int code,
                       bool text_required = true) {
  const std::string prefix = what + ": (" + std::to_string(code) + ") ";
  ASSERT_EQ(message.substr(0, prefix.size()), prefix) << message;
  const std::string text = message.substr(prefix.size());
  if (!text_required && text.empty()) return;
  ASSERT_FALSE(text.empty()) << message;
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << message;
  EXPECT_NE(text.back(), '.') << message;
  EXPECT_NE(text.back(), ' ') << message;
}

// The names of the headers a client chooses, without those of the protocol.
std::vector<std::string> ChosenHeaderNames(const RawRequest& request) {
  std::vector<std::string> names;
  for (const std::string& name : request.HeaderNames()) {
    if (name != "Host" && name != "Content-Length" && name != "Connection") names.push_back(name);
  }
  return names;
}

HttpHeaders WithoutFraming(const HttpHeaders& headers) {
  HttpHeaders kept;
  for (const auto& header : headers) {
    if (header.first != "Content-Length" && header.first != "Connection") kept.push_back(header);
  }
  return kept;
}

TEST(WinHttpTransportTest, SendsCallerHeadersInOrderAfterTheAgent) {
  RawHttpServer server([](const RawRequest&) { return RawReply::Answer(200, {}, "ok"); });
  HttpRequest request = Request("POST", server.Url("/conn/api.php?action=connector-poll"));
  request.headers = {{"Content-Type", "application/json"},
                     {"Accept", "application/json"},
                     {"X-Tolvenar-Connector-Version", kConnectorVersion},
                     {"X-Tolvenar-Connector", "s3cr3t"}};
  request.body = "{}";

  const HttpResponse response = NewWinHttpTransport()->Send(request);

  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");
  const std::vector<RawRequest> seen = server.Requests();
  ASSERT_THAT(seen, SizeIs(1));
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/conn/api.php?action=connector-poll");
  EXPECT_THAT(ChosenHeaderNames(seen[0]),
              ElementsAre("User-Agent", "Content-Type", "Accept", "X-Tolvenar-Connector-Version",
                          "X-Tolvenar-Connector"));
  EXPECT_EQ(*seen[0].Header("User-Agent"), std::string("TolvenarConnector/") + kConnectorVersion);
  EXPECT_EQ(*seen[0].Header("X-Tolvenar-Connector"), "s3cr3t");
  ASSERT_NE(seen[0].Header("Content-Length"), nullptr);
  EXPECT_EQ(*seen[0].Header("Content-Length"), "2");
  EXPECT_EQ(seen[0].body, "{}");
}

TEST(WinHttpTransportTest, CallerHeaderReplacesTheAgent) {
  RawHttpServer server([](const RawRequest&) { return RawReply::Answer(204); });
  HttpRequest request = Request("GET", server.Url("/health"));
  request.headers = {{"User-Agent", "Other/2"}};

  NewWinHttpTransport()->Send(request);

  const std::vector<RawRequest> seen = server.Requests();
  ASSERT_THAT(seen, SizeIs(1));
  EXPECT_THAT(ChosenHeaderNames(seen[0]), ElementsAre("User-Agent"));
  EXPECT_EQ(*seen[0].Header("User-Agent"), "Other/2");
  EXPECT_EQ(seen[0].Header("Content-Length"), nullptr);  // a GET carries no body
}

TEST(WinHttpTransportTest, BinaryBodiesTravelUnchanged) {
  const std::string sent("\x00\xff\r\n\xc3\xa9 end", 9);
  const std::string answered("\x1f\x8b\x00\x80\xfe", 5);
  RawHttpServer server([&](const RawRequest&) { return RawReply::Answer(200, {}, answered); });
  HttpRequest request = Request("POST", server.Url("/p"));
  request.body = sent;

  const HttpResponse response = NewWinHttpTransport()->Send(request);

  ASSERT_THAT(server.Requests(), SizeIs(1));
  EXPECT_EQ(server.Requests()[0].body, sent);
  EXPECT_EQ(response.body, answered);
}

TEST(WinHttpTransportTest, HeaderWithLineBreakOrNulIsRefusedBeforeSending) {
  for (const std::string& value : {std::string("a\r\nX-Injected: 1"), std::string("a\nb"),
                                   std::string("a\rb"), std::string("a\0b", 3)}) {
    RawHttpServer server([](const RawRequest&) { return RawReply::Answer(200); });
    HttpRequest request = Request("POST", server.Url("/p"));
    request.headers = {{"Accept", "application/json"}, {"Authorization", value}};

    ExpectFailureForm(FailureOf(request), "Error adding header", ERROR_INVALID_PARAMETER);
    EXPECT_THAT(server.Requests(), IsEmpty());
  }
}

TEST(WinHttpTransportTest, AnswersComeBackAsSent) {
  struct Case {
    int status;
    HttpHeaders headers;
    std::string body;
  };
  // gzip of "hello": decompressing it would change the bytes.
  const std::string gzip(
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff\xcb\x48\xcd\xc9\xc9\x07\x00"
      "\x86\xa6\x10\x36\x05\x00\x00\x00",
      25);
  const std::vector<Case> cases = {
      // No credentials are offered, whatever the server asks for.
      {401, {{"WWW-Authenticate", "Basic realm=\"x\""}, {"WWW-Authenticate", "NTLM"}}, "denied"},
      {407, {{"Proxy-Authenticate", "Basic realm=\"p\""}}, "proxy"},
      // Redirects are the client's business, not the transport's.
      {302, {{"Location", "/elsewhere"}}, "moved"},
      {307, {{"Location", "http://127.0.0.1:1/"}}, ""},
      {200, {{"Content-Encoding", "gzip"}}, gzip},
      {500, {{"x-lower", "a"}, {"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}}, "boom"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    RawHttpServer server(
        [&](const RawRequest&) { return RawReply::Answer(c.status, c.headers, c.body); });

    const HttpResponse response = NewWinHttpTransport()->Send(Request("POST", server.Url("/p")));

    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(WithoutFraming(response.headers), c.headers);
    ASSERT_THAT(server.Requests(), SizeIs(1));
    const RawRequest& seen = server.Requests()[0];
    EXPECT_EQ(seen.Header("Authorization"), nullptr);
    EXPECT_EQ(seen.Header("Accept-Encoding"), nullptr);
  }
}

TEST(WinHttpTransportTest, KeepsNoCookieBetweenRequests) {
  RawHttpServer server([](const RawRequest&) {
    return RawReply::Answer(200, {{"Set-Cookie", "session=abc; Path=/"}});
  });
  const std::unique_ptr<HttpTransport> transport = NewWinHttpTransport();

  transport->Send(Request("GET", server.Url("/a")));
  transport->Send(Request("GET", server.Url("/b")));

  ASSERT_THAT(server.Requests(), SizeIs(2));
  EXPECT_EQ(server.Requests()[1].Header("Cookie"), nullptr);
}

TEST(WinHttpTransportTest, FailureMessages) {
  RawHttpServer silent([](const RawRequest&) { return RawReply::Silent(); });
  RawHttpServer trickle([](const RawRequest&) {
    RawReply reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    reply.hold_open = true;
    return reply;
  });
  RawHttpServer cut([](const RawRequest&) {
    return RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
  });
  const std::string refused = "http://127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort());
  struct Case {
    std::string url;
    std::string what;
    int code;
  };
  // Wine's WinHTTP lets the socket's time-out (WSAETIMEDOUT, for which it
  // has no text) through where Windows reports ERROR_WINHTTP_TIMEOUT.
  const bool wine = RunningUnderWine();
  const int timeout = wine ? WSAETIMEDOUT : ERROR_WINHTTP_TIMEOUT;
  const std::vector<Case> cases = {
      {refused + "/", "Error sending data", ERROR_WINHTTP_CANNOT_CONNECT},
      {silent.Url("/"), "Error receiving data", timeout},
      {trickle.Url("/"), "Error reading data", timeout},
      {cut.Url("/"), "Error reading data", ERROR_WINHTTP_CONNECTION_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HttpRequest request = Request("GET", c.url);
    request.response_timeout_ms = 300;
    ExpectFailureForm(FailureOf(request), c.what, c.code, !wine);
  }
}

// A stop requested before the exchange: its deadline is the response
// time-out after its own start. The peer trickles well within each wait's
// time-out, so only that deadline can end the exchange, which then fails as
// WinHTTP's own time-out (Wine included, where closing the handle leaves
// the wait running until the peer lets go).
TEST(WinHttpTransportTest, StopDeadlineEndsATrickleAsATimeOut) {
  struct Case {
    std::string head;  // sent at once, then a byte every 200 ms
    std::string what;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\n", "Error receiving data"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", "Error reading data"},
  };
  constexpr auto kLimit = std::chrono::milliseconds(1000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawHttpServer server([&](const RawRequest&) {
      RawReply reply = RawReply::Bytes(c.head);
      for (int i = 0; i < 100; ++i) reply.pieces.push_back({"X-A: b\r\n", 200});
      return reply;
    });
    StopSignal stop;
    stop.Request();
    HttpRequest request = Request("GET", server.Url("/"));
    request.response_timeout_ms = static_cast<int>(kLimit.count());
    request.stop = &stop;

    const auto start = std::chrono::steady_clock::now();
    const std::string failure = FailureOf(request);
    const auto took = std::chrono::steady_clock::now() - start;

    ExpectFailureForm(failure, c.what, ERROR_WINHTTP_TIMEOUT);
    EXPECT_GE(took, kLimit);
    EXPECT_LT(took, kLimit + std::chrono::seconds(2));
  }
}

TEST(WinHttpTransportTest, UnparsableUrlIsNamedInTheMessage) {
  for (const std::string url : {"http://", "ftp://example.com/", "no url at all"}) {
    EXPECT_EQ(FailureOf(Request("GET", url)), "Invalid URL: \"" + url + "\"");
  }
}

}  // namespace
}  // namespace tolvenar
