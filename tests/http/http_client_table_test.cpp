// One table of HTTP exchanges, run through HttpClient over the platform's own
// transport (Env::Default()) against loopback servers: the same cases hold
// for curl on Linux and WinHTTP on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <tuple>

#include "base/exception.h"
#include "base/stop_signal.h"
#include "base/version.h"
#include "env/env.h"
#include "http/http_client.h"
#include "support/compressed_zeros.h"
#include "support/compression.h"
#include "support/raw_http_server.h"
#include "support/tls_test_server.h"

namespace tolvenar {
namespace {

using testing::RawHttpServer;
using testing::RawReply;
using testing::RawRequest;

const std::string kUserAgent = std::string("User-Agent: TolvenarConnector/") + kConnectorVersion;
const std::string kVersionLine = std::string("X-Tolvenar-Connector-Version: ") + kConnectorVersion;
const std::string kNoMapping =
    "No mapping for the Unicode character exists in the target multi-byte code page";
const std::string kPayload = "{\"cnpj\":\"12345678000199\",\"texto\":\"a\\u00e7\\u00e3o\"}";
const std::string kLongText = std::string(200000, 'z') + "\xC3\xA7";
// A body past the answer ceiling, as each transport reports it.
#ifdef _WIN32
// ERROR_NOT_ENOUGH_MEMORY, in the system's words.
const std::string kTooLarge = "Error reading data: (8) ";
constexpr bool kTooLargeIsPrefix = true;
#else
const std::string kTooLarge = "Error reading data: (27) Out of memory";  // CURLE_OUT_OF_MEMORY
constexpr bool kTooLargeIsPrefix = false;
#endif
const std::string kInflatedTooLarge = "Error reading data: (-4) insufficient memory";
constexpr size_t kMiB = size_t{1} << 20;

const HttpHeaders kServerHeaders = {{"Content-Type", "application/json"},
                                    {"Accept", "application/json"},
                                    {"X-Tolvenar-Connector-Version", kConnectorVersion},
                                    {"X-Tolvenar-Connector", "s3cr3t"}};
const std::vector<std::string> kServerWire = {kUserAgent, "Content-Type: application/json",
                                              "Accept: application/json", kVersionLine,
                                              "X-Tolvenar-Connector: s3cr3t"};
// kServerWire after a 301/302/303 turned the POST into a GET.
const std::vector<std::string> kServerWireAsGet = {kUserAgent, "Accept: application/json",
                                                   kVersionLine, "X-Tolvenar-Connector: s3cr3t"};

const HttpHeaders kAllCredentials = {{"Content-Type", "application/json"},
                                     {"Accept", "application/json"},
                                     {"Authorization", "Bearer tok"},
                                     {"X-Tolvenar-Session", "sess"},
                                     {"X-Tolvenar-Connector", "s3cr3t"}};
const std::vector<std::string> kAllCredentialsWire = {kUserAgent,
                                                      "Content-Type: application/json",
                                                      "Accept: application/json",
                                                      "Authorization: Bearer tok",
                                                      "X-Tolvenar-Session: sess",
                                                      "X-Tolvenar-Connector: s3cr3t"};
const std::vector<std::string> kCredentialsDroppedWire = {
    kUserAgent, "Content-Type: application/json", "Accept: application/json"};

// One request as a raw server saw it.
struct Wire {
  std::string line{};  // method and target
  // "Name: value" in wire order, without the protocol's own Host,
  // Connection and Content-Length; not checked when absent.
  std::optional<std::vector<std::string>> headers{};
  std::optional<std::string> content_length{};  // "" for none
  std::optional<std::string> body{};
};

struct TableCase {
  std::string name{};
  std::string method = "GET";
  // Placeholders: {A} and {B} two raw servers (two origins), {LA} server A
  // under the name localhost (a third origin), {A-host} its host:port,
  // {closed} a port nobody listens on, {TLS} the HTTPS server.
  std::string url{};
  HttpHeaders headers{};
  std::string body{};
  int response_timeout_ms = 10000;
  std::string prior_url{};  // an earlier, separate exchange (GET)
  bool needs_tls = false;

  int status = 200;
  std::string text{};
  std::string failure{};           // expected failure message ({A} expanded); empty: success
  bool failure_is_prefix = false;  // platform numbers and texts follow
  bool time_out = false;           // ends through a short response time-out
  std::optional<std::vector<Wire>> wire_a{};
  std::optional<std::vector<Wire>> wire_b{};
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct Ports {
  std::atomic<int> a{0};
  std::atomic<int> b{0};
  std::atomic<int> tls{0};
};

RawReply Headers(const std::string& head) { return RawReply::Bytes(head + "\r\n"); }

// A small body that inflates to one byte past the answer ceiling; built once
// per kind.
const std::string& Bomb(int window_bits) {
  static const std::string gzip = testing::CompressedZeros(kMaxAnswerBodyBytes + 1, 15 + 16);
  static const std::string zlib = testing::CompressedZeros(kMaxAnswerBodyBytes + 1, 15);
  static const std::string raw = testing::CompressedZeros(kMaxAnswerBodyBytes + 1, -15);
  return window_bits > 15 ? gzip : window_bits > 0 ? zlib : raw;
}

RawReply Route(const RawRequest& request, const Ports& ports) {
  const std::string& t = request.target;
  const std::string a = std::to_string(ports.a);
  const std::string b = std::to_string(ports.b);
  if (t == "/echo") return RawReply::Answer(200, {}, "ok");
  if (t == "/empty") return RawReply::Answer(200);
  if (t == "/no-content") {
    return RawReply::Bytes(
        "HTTP/1.1 204 No Content\r\nContent-Length: 4\r\nConnection: close\r\n\r\njunk");
  }
  if (t == "/299") return RawReply::Answer(299, {}, "fine");
  if (t == "/300") return RawReply::Answer(300, {}, "choose");
  if (t == "/401")
    return RawReply::Answer(401, {{"WWW-Authenticate", "Basic realm=\"api\""}}, "denied");
  if (t == "/blank-location") return RawReply::Answer(302, {{"Location", "   "}}, "blank");
  if (t.starts_with("/redirect/")) {
    return RawReply::Answer(std::stoi(t.substr(10)), {{"Location", "/landing"}}, "moved");
  }
  if (t == "/landing") return RawReply::Answer(200, {}, "landed");
  if (t == "/relative/a/b") return RawReply::Answer(302, {{"Location", "../c?x=1"}});
  if (t == "/relative/c?x=1") return RawReply::Answer(200, {}, "relative ok");
  if (t.starts_with("/chain/")) {
    const int left = std::stoi(t.substr(7));
    if (left == 0) return RawReply::Answer(200, {}, "end of chain");
    return RawReply::Answer(302, {{"Location", "/chain/" + std::to_string(left - 1)}});
  }
  if (t == "/loop") return RawReply::Answer(302, {{"Location", "/loop"}});
  if (t == "/cross/port") {
    return RawReply::Answer(307, {{"Location", "http://127.0.0.1:" + b + "/landing"}});
  }
  if (t == "/cross/host") {
    return RawReply::Answer(307, {{"Location", "http://localhost:" + a + "/landing"}});
  }
  if (t == "/cross/back") {
    return RawReply::Answer(307, {{"Location", "http://localhost:" + a + "/cross/return"}});
  }
  if (t == "/cross/return") {
    return RawReply::Answer(307, {{"Location", "http://127.0.0.1:" + a + "/landing"}});
  }
  if (t == "/cookie/set") {
    return RawReply::Answer(
        302, {{"Set-Cookie", "sid=abc; Path=/; HttpOnly"}, {"Location", "/cookie/check"}});
  }
  if (t == "/cookie/check") return RawReply::Answer(200, {}, "checked");
  if (t == "/cookie/other-host") {
    return RawReply::Answer(
        302, {{"Set-Cookie", "sid=abc"}, {"Location", "http://localhost:" + a + "/landing"}});
  }
  if (t == "/gzip") {
    return RawReply::Answer(200, {{"Content-Encoding", "gzip"}}, testing::GzipCompress(kPayload));
  }
  if (t == "/gzip-upper") {
    return RawReply::Answer(200, {{"Content-Encoding", "GZIP"}}, testing::GzipCompress(kPayload));
  }
  if (t == "/deflate") {
    return RawReply::Answer(200, {{"Content-Encoding", "deflate"}},
                            testing::ZlibCompress(kPayload));
  }
  if (t == "/raw-deflate") {
    return RawReply::Answer(200, {{"Content-Encoding", "deflate"}}, testing::RawDeflate(kPayload));
  }
  if (t == "/truncated-gzip") {
    const std::string gzipped = testing::GzipCompress(kLongText);
    return RawReply::Answer(200, {{"Content-Encoding", "gzip"}},
                            gzipped.substr(0, gzipped.size() / 2));
  }
  if (t == "/gzip-bomb")
    return RawReply::Answer(200, {{"Content-Encoding", "gzip"}}, Bomb(15 + 16));
  if (t == "/deflate-bomb") {
    return RawReply::Answer(200, {{"Content-Encoding", "deflate"}}, Bomb(15));
  }
  if (t == "/raw-deflate-bomb") {
    return RawReply::Answer(200, {{"Content-Encoding", "deflate"}}, Bomb(-15));
  }
  if (t == "/announced-past-ceiling") {
    // Claims one byte more than the ceiling, sends a few and waits.
    RawReply reply = RawReply::Bytes(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxAnswerBodyBytes + 1) +
        "\r\n\r\n0123456789");
    reply.hold_open = true;
    return reply;
  }
  if (t == "/chunked-past-ceiling") {
    RawReply reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "100000\r\n" + std::string(kMiB, 'z') + "\r\n";
    for (size_t i = 0; i <= kMaxAnswerBodyBytes / kMiB; ++i) reply.pieces.push_back({chunk, 0});
    reply.pieces.push_back({"0\r\n\r\n", 0});
    return reply;
  }
  if (t == "/unannounced-past-ceiling") {
    RawReply reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
    const std::string megabyte(kMiB, 'z');
    for (size_t i = 0; i <= kMaxAnswerBodyBytes / kMiB; ++i) reply.pieces.push_back({megabyte, 0});
    return reply;
  }
  if (t == "/bom") return RawReply::Answer(200, {}, "\xEF\xBB\xBF" + kPayload);
  if (t == "/invalid-utf8") return RawReply::Answer(500, {}, "{\"erro\":\"caf\xE9\"}");
  if (t == "/chunked") {
    return Headers(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n"
        "\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n");
  }
  if (t == "/long") return RawReply::Answer(200, {}, kLongText);
  if (t == "/trickle") {
    RawReply reply =
        RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n");
    for (char digit = '0'; digit <= '9'; ++digit)
      reply.pieces.push_back({std::string(1, digit), 150});
    return reply;
  }
  if (t == "/hang") return RawReply::Silent();
  if (t == "/close-before-headers") return RawReply::Close();
  if (t == "/stall-body" || t == "/close-mid-body") {
    RawReply reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    reply.hold_open = t == "/stall-body";
    return reply;
  }
  return RawReply::Answer(404, {}, "no route");
}

testing::TlsAnswer TlsRoute(const std::string&, const std::string& target, const Ports& ports) {
  if (target == "/hello") return {200, {}, "secure"};
  if (target == "/to-http") {
    return {302, {{"Location", "http://127.0.0.1:" + std::to_string(ports.a) + "/landing"}}, ""};
  }
  return {404, {}, ""};
}

std::vector<TableCase> Cases() {
  std::vector<TableCase> cases;
  auto add = [&](TableCase c) { cases.push_back(std::move(c)); };

  // --- what goes on the wire ---
  add({.name = "ServerHeadersFollowUserAgentInOrder",
       .method = "POST",
       .url = "{A}/echo",
       .headers = kServerHeaders,
       .body = kPayload,
       .text = "ok",
       .wire_a = {{{"POST /echo", kServerWire, std::to_string(kPayload.size()), kPayload}}}});
  add({.name = "LocalHeadersOnAGetWithoutBody",
       .url = "{A}/echo",
       .headers = kAllCredentials,
       .text = "ok",
       .wire_a = {{{"GET /echo", kAllCredentialsWire, "", ""}}}});
  add({.name = "EmptyPostSendsContentLengthZero",
       .method = "POST",
       .url = "{A}/echo",
       .text = "ok",
       .wire_a = {{{"POST /echo", {{kUserAgent}}, "0", ""}}}});
  add({.name = "LargePostGoesWholeWithoutExpect",
       .method = "POST",
       .url = "{A}/echo",
       .headers = {{"Content-Type", "application/json"}},
       .body = kLongText,
       .text = "ok",
       .wire_a = {{{"POST /echo",
                    {{kUserAgent, "Content-Type: application/json"}},
                    std::to_string(kLongText.size()),
                    kLongText}}}});
  add({.name = "CallersUserAgentReplacesTheFixedOne",
       .url = "{A}/echo",
       .headers = {{"User-Agent", "Other/1"}, {"Accept", "*/*"}},
       .text = "ok",
       .wire_a = {{{"GET /echo", {{"User-Agent: Other/1", "Accept: */*"}}}}}});
  add({.name = "AnyOtherSchemeIsPlainHttp", .url = "ftp://{A-host}/echo", .text = "ok"});
  add({.name = "UpperCaseHttpScheme", .url = "HTTP://{A-host}/echo", .text = "ok"});

  // --- statuses come back as values ---
  add({.name = "NoContentIgnoresItsBody", .url = "{A}/no-content", .status = 204, .text = ""});
  add({.name = "EmptyOk", .url = "{A}/empty", .status = 200, .text = ""});
  add({.name = "Status299", .url = "{A}/299", .status = 299, .text = "fine"});
  add({.name = "Status300WithoutLocation", .url = "{A}/300", .status = 300, .text = "choose"});
  add({.name = "Status401OneRequestOnly",
       .method = "POST",
       .url = "{A}/401",
       .headers = kServerHeaders,
       .body = kPayload,
       .status = 401,
       .text = "denied",
       .wire_a = {{{"POST /401"}}}});
  add({.name = "BlankLocationIsNotFollowed",
       .url = "{A}/blank-location",
       .status = 302,
       .text = "blank",
       .wire_a = {{{"GET /blank-location"}}}});

  // --- redirects ---
  for (int status : {301, 302, 303}) {
    add({.name = "PostRedirectedBy" + std::to_string(status) + "BecomesGet",
         .method = "POST",
         .url = "{A}/redirect/" + std::to_string(status),
         .headers = kServerHeaders,
         .body = kPayload,
         .text = "landed",
         .wire_a = {{{"POST /redirect/" + std::to_string(status), kServerWire,
                      std::to_string(kPayload.size()), kPayload},
                     {"GET /landing", kServerWireAsGet, "", ""}}}});
  }
  for (int status : {307, 308}) {
    add({.name = "PostRedirectedBy" + std::to_string(status) + "StaysPost",
         .method = "POST",
         .url = "{A}/redirect/" + std::to_string(status),
         .headers = kServerHeaders,
         .body = kPayload,
         .text = "landed",
         .wire_a = {{{"POST /redirect/" + std::to_string(status), kServerWire,
                      std::to_string(kPayload.size()), kPayload},
                     {"POST /landing", kServerWire, std::to_string(kPayload.size()), kPayload}}}});
  }
  add({.name = "RelativeLocation",
       .url = "{A}/relative/a/b",
       .text = "relative ok",
       .wire_a = {{{"GET /relative/a/b"}, {"GET /relative/c?x=1"}}}});
  add({.name = "FiveRedirectsAreFollowed",
       .url = "{A}/chain/5",
       .text = "end of chain",
       .wire_a = {{{"GET /chain/5"},
                   {"GET /chain/4"},
                   {"GET /chain/3"},
                   {"GET /chain/2"},
                   {"GET /chain/1"},
                   {"GET /chain/0"}}}});
  add({.name = "SixthRedirectFails",
       .url = "{A}/chain/6",
       .failure = "Maximum number of redirections (5) exceeded",
       .wire_a = {{{"GET /chain/6"},
                   {"GET /chain/5"},
                   {"GET /chain/4"},
                   {"GET /chain/3"},
                   {"GET /chain/2"},
                   {"GET /chain/1"}}}});
  add({.name = "RedirectLoopFails",
       .url = "{A}/loop",
       .failure = "Maximum number of redirections (5) exceeded"});

  // --- credentials stay with the first origin ---
  add({.name = "CredentialsDroppedForAnotherPort",
       .method = "POST",
       .url = "{A}/cross/port",
       .headers = kAllCredentials,
       .body = kPayload,
       .text = "landed",
       .wire_a = {{{"POST /cross/port", kAllCredentialsWire}}},
       .wire_b = {{{"POST /landing", kCredentialsDroppedWire, std::to_string(kPayload.size()),
                    kPayload}}}});
  add({.name = "CredentialsDroppedForAnotherHostName",
       .method = "POST",
       .url = "{A}/cross/host",
       .headers = kAllCredentials,
       .body = kPayload,
       .text = "landed",
       .wire_a = {{{"POST /cross/host", kAllCredentialsWire},
                   {"POST /landing", kCredentialsDroppedWire}}}});
  add({.name = "CredentialsBackAtTheFirstOrigin",
       .method = "POST",
       .url = "{A}/cross/back",
       .headers = kAllCredentials,
       .body = kPayload,
       .text = "landed",
       .wire_a = {{{"POST /cross/back", kAllCredentialsWire},
                   {"POST /cross/return", kCredentialsDroppedWire},
                   {"POST /landing", kAllCredentialsWire}}}});
  add({.name = "HttpsToHttpIsRefused",
       .method = "POST",
       .url = "{TLS}/to-http",
       .headers = kServerHeaders,
       .body = kPayload,
       .needs_tls = true,
       .failure = "Redirect from HTTPS to HTTP refused: {A}/landing",
       .wire_a = {{}}});
  add({.name = "HttpsInAnyLetterCase",
       .url = "{TLS-mixed}/hello",
       .needs_tls = true,
       .text = "secure"});

  // --- cookies live for one exchange ---
  add({.name = "CookieSentBackWithinTheExchange",
       .url = "{A}/cookie/set",
       .text = "checked",
       .wire_a = {{{"GET /cookie/set", {{kUserAgent}}},
                   {"GET /cookie/check", {{kUserAgent, "Cookie: sid=abc"}}}}}});
  add({.name = "CookieNotKeptForTheNextExchange",
       .url = "{A}/cookie/check",
       .prior_url = "{A}/cookie/set",
       .text = "checked",
       .wire_a = {
           {{"GET /cookie/set"}, {"GET /cookie/check"}, {"GET /cookie/check", {{kUserAgent}}}}}});
  add({.name = "CookieNotSentToAnotherHost",
       .url = "{A}/cookie/other-host",
       .text = "landed",
       .wire_a = {{{"GET /cookie/other-host"}, {"GET /landing", {{kUserAgent}}}}}});

  // --- answer bodies ---
  add({.name = "GzipInflated", .url = "{A}/gzip", .text = kPayload});
  add({.name = "GzipInAnyLetterCase", .url = "{A}/gzip-upper", .text = kPayload});
  add({.name = "DeflateInflated", .url = "{A}/deflate", .text = kPayload});
  add({.name = "RawDeflateInflated", .url = "{A}/raw-deflate", .text = kPayload});
  add({.name = "TruncatedGzipFails",
       .url = "{A}/truncated-gzip",
       .failure = "Error reading data: (-5) buffer error"});
  add({.name = "ByteOrderMarkDropped", .url = "{A}/bom", .text = kPayload});
  add({.name = "InvalidUtf8FailsEvenFor500", .url = "{A}/invalid-utf8", .failure = kNoMapping});
  add({.name = "ChunkedAnswer", .url = "{A}/chunked", .text = "hello world"});
  add({.name = "LongAnswer", .url = "{A}/long", .text = kLongText});
  // Each wait is short although the whole body takes longer than the time-out.
  add({.name = "TrickledBodyWithinTheTimeOutPerWait",
       .url = "{A}/trickle",
       .response_timeout_ms = 1000,
       .text = "0123456789"});

  // --- the answer ceiling, after decoding ---
  add({.name = "GzipBombFails", .url = "{A}/gzip-bomb", .failure = kInflatedTooLarge});
  add({.name = "DeflateBombFails", .url = "{A}/deflate-bomb", .failure = kInflatedTooLarge});
  add({.name = "RawDeflateBombFails", .url = "{A}/raw-deflate-bomb", .failure = kInflatedTooLarge});
  // Fails on the claim alone: the rest of the body never comes, and the
  // exchange ends long before the response time-out.
  add({.name = "AnnouncedLengthPastTheCeilingFailsAtOnce",
       .url = "{A}/announced-past-ceiling",
       .failure = kTooLarge,
       .failure_is_prefix = kTooLargeIsPrefix,
       .time_out = true});
  add({.name = "ChunkedBodyPastTheCeilingFails",
       .url = "{A}/chunked-past-ceiling",
       .failure = kTooLarge,
       .failure_is_prefix = kTooLargeIsPrefix});
  add({.name = "UnannouncedBodyPastTheCeilingFails",
       .url = "{A}/unannounced-past-ceiling",
       .failure = kTooLarge,
       .failure_is_prefix = kTooLargeIsPrefix});

  // --- failures without an answer ---
  add({.name = "ConnectionRefused",
       .url = "{closed}/echo",
       .failure = "Error sending data: (",
       .failure_is_prefix = true});
  add({.name = "NeverAnswers",
       .url = "{A}/hang",
       .response_timeout_ms = 300,
       .failure = "Error receiving data: (",
       .failure_is_prefix = true,
       .time_out = true});
  add({.name = "ClosesBeforeHeaders",
       .url = "{A}/close-before-headers",
       .failure = "Error receiving data: (",
       .failure_is_prefix = true});
  add({.name = "StallsInTheBody",
       .url = "{A}/stall-body",
       .response_timeout_ms = 300,
       .failure = "Error reading data: (",
       .failure_is_prefix = true,
       .time_out = true});
  add({.name = "ClosesInTheBody",
       .url = "{A}/close-mid-body",
       .failure = "Error reading data: (",
       .failure_is_prefix = true});
  add({.name = "InvalidUrl", .url = "not a url", .failure = "Invalid URL: \"not a url\""});
  add({.name = "EmptyUrl", .url = "", .failure = "Invalid URL: \"\""});
  add({.name = "PortOutOfRange",
       .url = "http://127.0.0.1:99999/echo",
       .failure = "Invalid URL: \"http://127.0.0.1:99999/echo\""});
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"HeaderWithCrLf", "a\r\nX-Injected: 1"},
           {"HeaderWithLf", "a\nX-Injected: 1"},
           {"HeaderWithCr", "a\rb"},
           {"HeaderWithNul", std::string("a\0b", 3)}}) {
    add({.name = name,
         .method = "POST",
         .url = "{A}/echo",
         .headers = {{"Accept", "application/json"}, {"Authorization", value}},
         .body = "{}",
         .failure = "Error adding header: (",
         .failure_is_prefix = true,
         .wire_a = {{}}});
  }
  return cases;
}

class HttpClientTableTest : public ::testing::TestWithParam<TableCase> {
 protected:
  void SetUp() override {
    if (GetParam().needs_tls) {
      tls_ =
          testing::StartTlsTestServer([this](const std::string& method, const std::string& target) {
            return TlsRoute(method, target, ports_);
          });
      if (tls_) trusting_env_ = testing::NewEnvTrustingCa(tls_->CaFile());
      if (!tls_ || !trusting_env_) {
        GTEST_SKIP() << "no HTTPS test server on this platform";
      }
      ports_.tls = tls_->port();
    }
    ports_.a = a_.port();
    ports_.b = b_.port();
  }

  std::string Expand(std::string text) const {
    const std::string a = std::to_string(ports_.a);
    text = ReplaceAll(text, "{A}", "http://127.0.0.1:" + a);
    text = ReplaceAll(text, "{A-host}", "127.0.0.1:" + a);
    text = ReplaceAll(text, "{LA}", "http://localhost:" + a);
    text = ReplaceAll(text, "{B}", "http://127.0.0.1:" + std::to_string(ports_.b));
    text = ReplaceAll(text, "{closed}", "http://127.0.0.1:" + std::to_string(closed_port_));
    text = ReplaceAll(text, "{TLS}", "https://127.0.0.1:" + std::to_string(ports_.tls));
    text = ReplaceAll(text, "{TLS-mixed}", "HtTpS://127.0.0.1:" + std::to_string(ports_.tls));
    return text;
  }

  Env& ClientEnv() { return trusting_env_ ? *trusting_env_ : *Env::Default(); }

  static void ExpectWire(const std::vector<RawRequest>& seen, const std::vector<Wire>& expected,
                         const char* server) {
    ASSERT_EQ(seen.size(), expected.size()) << "requests at server " << server;
    for (size_t i = 0; i < seen.size(); ++i) {
      SCOPED_TRACE(std::string("server ") + server + ", request " + std::to_string(i + 1) + ":\n" +
                   seen[i].raw.substr(0, 2000));
      const Wire& wire = expected[i];
      EXPECT_EQ(seen[i].method + " " + seen[i].target, wire.line);
      if (wire.headers) {
        std::vector<std::string> lines;
        for (const auto& [name, value] : seen[i].headers) {
          if (name == "Host" || name == "Connection" || name == "Content-Length") continue;
          lines.push_back(name + ": " + value);
        }
        EXPECT_EQ(lines, *wire.headers);
      }
      if (wire.content_length) {
        const std::string* length = seen[i].Header("Content-Length");
        EXPECT_EQ(length ? *length : "", *wire.content_length);
        EXPECT_EQ(seen[i].Header("Transfer-Encoding"), nullptr);
      }
      if (wire.body) {
        EXPECT_EQ(seen[i].body, *wire.body);
      }
    }
  }

  Ports ports_;
  RawHttpServer a_{[this](const RawRequest& request) { return Route(request, ports_); }};
  RawHttpServer b_{[this](const RawRequest& request) { return Route(request, ports_); }};
  int closed_port_ = testing::UnusedLoopbackPort();
  std::unique_ptr<testing::TlsTestServer> tls_;
  std::unique_ptr<Env> trusting_env_;
};

TEST_P(HttpClientTableTest, Exchange) {
  const TableCase& c = GetParam();
  if (!c.prior_url.empty()) {
    HttpClient prior(ClientEnv(), 5000, c.response_timeout_ms);
    prior.Send("GET", Expand(c.prior_url), {}, "");
  }

  const auto start = std::chrono::steady_clock::now();
  std::optional<std::string> failure;
  int status = 0;
  std::string text;
  try {
    HttpClient client(ClientEnv(), 5000, c.response_timeout_ms);
    const HttpClientResponse response = client.Send(c.method, Expand(c.url), c.headers, c.body);
    status = response.status;
    // As the callers do: a 204 has no text; anything else is decoded.
    if (status != 204) text = DecodeResponseText(response.body);
  } catch (const Exception& e) {
    failure = e.Message();
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;

  if (c.failure.empty()) {
    ASSERT_FALSE(failure.has_value()) << *failure;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(text, c.text);
  } else {
    ASSERT_TRUE(failure.has_value()) << "answered " << status << " " << text.substr(0, 200);
    if (c.failure_is_prefix) {
      EXPECT_TRUE(failure->starts_with(c.failure)) << *failure;
      // "(number) text" follows, the text without a trailing full stop.
      EXPECT_GT(failure->size(), c.failure.size() + 3) << *failure;
      EXPECT_NE(failure->back(), '.') << *failure;
    } else {
      EXPECT_EQ(*failure, Expand(c.failure));
    }
  }
  // A short response time-out ends the exchange soon; a loose bound only.
  if (c.time_out) {
    EXPECT_LT(elapsed, std::chrono::seconds(5));
  }
  if (c.wire_a) {
    ExpectWire(a_.Requests(), *c.wire_a, "A");
  }
  if (c.wire_b) {
    ExpectWire(b_.Requests(), *c.wire_b, "B");
  }
}

INSTANTIATE_TEST_SUITE_P(Http, HttpClientTableTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<TableCase>& info) {
                           return info.param.name;
                         });

TEST(HttpClientCeiling, BodyOfExactlyTheCeilingArrivesWhole) {
  RawHttpServer server([](const RawRequest&) {
    RawReply reply = RawReply::Bytes(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kMaxAnswerBodyBytes) + "\r\n\r\n");
    reply.pieces.push_back({std::string(kMaxAnswerBodyBytes, 'z'), 0});
    return reply;
  });
  HttpClient client(*Env::Default(), 5000, 10000);
  const HttpClientResponse response = client.Send("GET", server.Url("/"), {}, "");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body.size(), kMaxAnswerBodyBytes);
  EXPECT_EQ(response.body.find_first_not_of('z'), std::string::npos);
}

// --- a stop bounds an exchange that a peer keeps alive ---

constexpr int kTrickleDelayMs = 200;
constexpr int kTricklePieces = 150;  // 30 s: far past every bound below

RawReply TrickleRoute(const RawRequest& request) {
  const std::string& t = request.target;
  RawReply reply;
  if (t == "/trickle-headers") {
    // Whole header lines, so that every wait on every platform gets data.
    reply = RawReply::Bytes("HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < kTricklePieces; ++i) {
      reply.pieces.push_back({"X-Wait: " + std::to_string(i) + "\r\n", kTrickleDelayMs});
    }
  } else if (t == "/trickle-body") {
    reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < kTricklePieces; ++i) reply.pieces.push_back({"z", kTrickleDelayMs});
  } else if (t == "/trickle-ten") {
    reply = RawReply::Bytes("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
    for (char digit = '0'; digit <= '9'; ++digit) reply.pieces.push_back({{digit}, 150});
  } else {
    reply = RawReply::Answer(200, {}, "ok");
  }
  return reply;
}

struct StopCase {
  std::string name;
  std::string target;
  std::string failure;  // prefix of the message
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class HttpClientStopTest : public ::testing::TestWithParam<StopCase> {};

// The stop comes while the peer trickles: each wait gets data well within the
// response time-out, so only the stop deadline (the time-out after the stop)
// can end the exchange. On Windows WinHTTP also limits the whole header wait
// to the response time-out, so the bound is checked from the stop only.
TEST_P(HttpClientStopTest, TrickleEndsAtTheStopDeadline) {
  constexpr auto kLimit = std::chrono::milliseconds(1000);
  RawHttpServer server(TrickleRoute);
  StopSignal stop;
  HttpClient client(*Env::Default(), 5000, static_cast<int>(kLimit.count()));
  client.SetStopSignal(&stop);

  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    stop.Request();
  });
  std::optional<std::string> failure;
  try {
    client.Send("GET", server.Url(GetParam().target), {}, "");
  } catch (const Exception& e) {
    failure = e.Message();
  }
  const auto ended = std::chrono::steady_clock::now();
  stopper.join();

  ASSERT_TRUE(failure.has_value()) << "the trickle was answered";
  EXPECT_TRUE(failure->starts_with(GetParam().failure)) << *failure;
  EXPECT_NE(failure->back(), '.') << *failure;
  EXPECT_GE(ended - start, kLimit);
  // The stop deadline plus a loose margin; the trickle itself lasts 30 s.
  EXPECT_LT(ended - *stop.RequestedAt(), kLimit + std::chrono::seconds(2));
}

INSTANTIATE_TEST_SUITE_P(
    Http, HttpClientStopTest,
    ::testing::Values(StopCase{"WhileHeadersTrickle", "/trickle-headers",
                               "Error receiving data: ("},
                      StopCase{"WhileBodyTrickles", "/trickle-body", "Error reading data: ("}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

// A stop signal that was never requested changes nothing: a body that takes
// longer than the response time-out in all still arrives.
TEST(HttpClientStop, UnrequestedStopLeavesSlowAnswersAlone) {
  RawHttpServer server(TrickleRoute);
  StopSignal stop;
  HttpClient client(*Env::Default(), 5000, 1000);
  client.SetStopSignal(&stop);
  EXPECT_EQ(client.Send("GET", server.Url("/trickle-ten"), {}, "").body, "0123456789");
}

// After a stop, an exchange that ends before its stop deadline is unaffected.
TEST(HttpClientStop, AnswerBeforeTheStopDeadlineArrives) {
  RawHttpServer server(TrickleRoute);
  StopSignal stop;
  stop.Request();
  HttpClient client(*Env::Default(), 5000, 3000);
  client.SetStopSignal(&stop);
  EXPECT_EQ(client.Send("GET", server.Url("/echo"), {}, "").body, "ok");
  EXPECT_EQ(client.Send("GET", server.Url("/trickle-ten"), {}, "").body, "0123456789");
}

// --- a stop and a deadline given together ---

// Whichever comes first ends the exchange, as the time-out of the wait it
// cut short; the other is not lost. Each case runs through the transport
// itself and through HttpClient, while the peer trickles headers for 30 s.
struct BoundCase {
  std::string name;
  std::chrono::milliseconds response_timeout;
  std::chrono::milliseconds deadline;  // from the start
  bool stop_comes;                     // requested 300 ms after the start
  // The longest the exchange may last after the first bound, however slow
  // the machine: far below the other bound and the trickle's own end.
  std::chrono::milliseconds margin;
};

void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class HttpStopAndDeadlineTest : public ::testing::TestWithParam<std::tuple<BoundCase, bool>> {};

TEST_P(HttpStopAndDeadlineTest, TheFirstBoundEndsATrickle) {
  const auto& [c, via_client] = GetParam();
  RawHttpServer server(TrickleRoute);
  StopSignal stop;
  const std::string url = server.Url("/trickle-headers");

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + c.deadline;
  std::thread stopper([&stop, stop_comes = c.stop_comes] {
    if (!stop_comes) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.Request();
  });
  std::optional<std::string> failure;
  try {
    if (via_client) {
      HttpClient client(*Env::Default(), 5000, static_cast<int>(c.response_timeout.count()));
      client.SetStopSignal(&stop);
      client.SetDeadline(deadline);
      client.Send("GET", url, {}, "");
    } else {
      HttpRequest request;
      request.method = "GET";
      request.url = url;
      request.connect_timeout_ms = 5000;
      request.response_timeout_ms = static_cast<int>(c.response_timeout.count());
      request.stop = &stop;
      request.deadline = deadline;
      Env::Default()->NewHttpTransport()->Send(request);
    }
  } catch (const Exception& e) {
    failure = e.Message();
  }
  const auto ended = std::chrono::steady_clock::now();
  stopper.join();

  ASSERT_TRUE(failure.has_value()) << "the trickle was answered";
  EXPECT_TRUE(failure->starts_with("Error receiving data: (")) << *failure;
  EXPECT_NE(failure->back(), '.') << *failure;
  const auto first_bound =
      c.stop_comes ? std::min(*stop.RequestedAt() + c.response_timeout, deadline) : deadline;
  EXPECT_LT(ended, first_bound + c.margin);
}

INSTANTIATE_TEST_SUITE_P(
    Http, HttpStopAndDeadlineTest,
    ::testing::Combine(
        ::testing::Values(
            // The stop's bound (1 s after it) long before the deadline.
            BoundCase{"StopBeforeAFarDeadline", std::chrono::milliseconds(1000),
                      std::chrono::milliseconds(60000), true, std::chrono::milliseconds(3000)},
            // No stop comes: the deadline alone ends it, long before the
            // response time-out could matter.
            BoundCase{"DeadlineWithoutAStop", std::chrono::milliseconds(20000),
                      std::chrono::milliseconds(200), false, std::chrono::milliseconds(3000)}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<BoundCase, bool>>& info) {
      return std::get<0>(info.param).name +
             (std::get<1>(info.param) ? "ViaClient" : "ViaTransport");
    });

}  // namespace
}  // namespace tolvenar
