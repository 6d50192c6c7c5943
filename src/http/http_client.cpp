#include "http/http_client.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "base/exception.h"
#include "base/text.h"
#include "env/env.h"
#include "http/content_decoding.h"
#include "http/cookie_jar.h"
#include "http/url.h"

namespace tolvenar {

namespace {

constexpr int kMaxRedirects = 5;

// Secrets that must not follow a redirect to another origin.
constexpr std::string_view kCredentialHeaders[] = {"X-Tolvenar-Connector", "Authorization",
                                                   "X-Tolvenar-Session"};

bool IsRedirectStatus(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
         status == 308;
}

bool IsCredentialHeader(std::string_view name) {
  return std::any_of(std::begin(kCredentialHeaders), std::end(kCredentialHeaders),
                     [&](std::string_view credential) { return SameTextAscii(name, credential); });
}

void RemoveHeader(HttpHeaders& headers, std::string_view name) {
  std::erase_if(headers,
                [&](const HttpHeader& header) { return SameTextAscii(header.first, name); });
}

// The cookies of the exchange join a "Cookie" header of the caller's, or
// follow the caller's headers as one of their own.
void AddCookies(HttpHeaders& headers, const std::string& cookies) {
  if (cookies.empty()) return;
  for (auto& [name, value] : headers) {
    if (SameTextAscii(name, "Cookie")) {
      value = value.empty() ? cookies : value + "; " + cookies;
      return;
    }
  }
  headers.emplace_back("Cookie", cookies);
}

HttpUrl ParseOrThrow(const std::string& url) {
  std::optional<HttpUrl> parsed = ParseHttpUrl(url);
  if (!parsed) throw Exception("Invalid URL: \"" + url + "\"");
  return *parsed;
}

}  // namespace

HttpClient::HttpClient(Env& env, int connect_timeout_ms, int response_timeout_ms)
    : transport_(env.NewHttpTransport()),
      connect_timeout_ms_(connect_timeout_ms),
      response_timeout_ms_(response_timeout_ms) {
  if (!transport_) throw Exception("Error obtaining session handle");
}

HttpClient::~HttpClient() = default;

void HttpClient::SetDeadline(StopSignal::Clock::time_point deadline) { deadline_ = deadline; }

HttpClientResponse HttpClient::Send(const std::string& method, const std::string& url,
                                    const HttpHeaders& headers, std::string body) {
  HttpUrl current = ParseOrThrow(url);
  const std::string origin = current.Origin();
  std::string current_method = method;
  std::string current_body = std::move(body);
  // The transport frames the body itself; a caller's framing headers could
  // only contradict it.
  HttpHeaders current_headers = headers;
  RemoveHeader(current_headers, "Content-Length");
  RemoveHeader(current_headers, "Transfer-Encoding");
  CookieJar cookies;

  for (int redirects = 0;; ++redirects) {
    HttpRequest request;
    request.method = current_method;
    request.url = current.ToString();
    request.body = std::move(current_body);
    request.connect_timeout_ms = connect_timeout_ms_;
    request.response_timeout_ms = response_timeout_ms_;
    request.stop = stop_;
    request.max_body_bytes = max_body_bytes_;
    if (deadline_) {
      // The request ends one response time-out after it starts, however the
      // peer keeps it alive; cut to the time left, that is the deadline at
      // the latest.
      const StopSignal::Clock::time_point now = StopSignal::Clock::now();
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - now).count();
      if (left <= 0) throw Exception(kDeadlinePassedMessage);
      const int left_ms =
          static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
      request.connect_timeout_ms = std::min(request.connect_timeout_ms, left_ms);
      request.response_timeout_ms = std::min(request.response_timeout_ms, left_ms);
      request.deadline = now + std::chrono::milliseconds(request.response_timeout_ms);
    }
    const bool same_origin = current.Origin() == origin;
    for (const HttpHeader& header : current_headers) {
      if (same_origin || !IsCredentialHeader(header.first)) request.headers.push_back(header);
    }
    AddCookies(request.headers, cookies.HeaderValueFor(current.host));

    HttpResponse answer = transport_->Send(request);
    current_body = std::move(request.body);  // a 307 or 308 sends it again
    cookies.Store(current.host, answer.headers);

    const std::string* location_header = FindHeader(answer.headers, "Location");
    const std::string location =
        location_header ? TrimControlsAndSpaces(*location_header) : std::string();
    if (!IsRedirectStatus(answer.status) || location.empty()) {
      HttpClientResponse response;
      response.status = answer.status;
      // A 204 or 304 carries no body; whatever bytes came are not decoded.
      if (answer.status != 204 && answer.status != 304) {
        const std::string* encoding = FindHeader(answer.headers, "Content-Encoding");
        response.body = encoding ? DecodeContent(*encoding, std::move(answer.body), max_body_bytes_)
                                 : std::move(answer.body);
      }
      response.headers = std::move(answer.headers);
      return response;
    }

    if (redirects == kMaxRedirects) {
      throw Exception("Maximum number of redirections (" + std::to_string(kMaxRedirects) +
                      ") exceeded");
    }
    const std::string target_text = ResolveReference(request.url, location);
    std::optional<HttpUrl> parsed = ParseHttpUrl(target_text);
    if (!parsed) throw Exception("Invalid URL: \"" + LoggableText(target_text) + "\"");
    HttpUrl target = std::move(*parsed);
    if (current.tls && !target.tls) {
      throw Exception("Redirect from HTTPS to HTTP refused: " + LoggableText(target_text));
    }
    if (same_origin_only_ && target.Origin() != origin) {
      throw Exception("Redirect to another origin refused: " + LoggableText(target_text));
    }
    if (current_method == "POST" &&
        (answer.status == 301 || answer.status == 302 || answer.status == 303)) {
      current_method = "GET";
      current_body.clear();
      RemoveHeader(current_headers, "Content-Type");  // Content-Length went at the start
    }
    current = std::move(target);
  }
}

std::string DecodeResponseText(std::string body) {
  const std::string_view text = DropUtf8Bom(body);
  if (!IsValidUtf8(text)) {
    throw Exception(
        "No mapping for the Unicode character exists in the target multi-byte code page");
  }
  body.erase(0, body.size() - text.size());
  return body;
}

}  // namespace tolvenar
