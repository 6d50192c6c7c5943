// The connector's HTTP client: one exchange over an HttpTransport, with the
// redirect loop, per-exchange cookies, content decoding and failure messages
// that every platform shares.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "env/http_transport.h"

namespace tolvenar {

class Env;

struct HttpClientResponse {
  int status = 0;
  HttpHeaders headers;  // of the final answer
  std::string body;     // raw bytes, already inflated for gzip/deflate
};

class HttpClient {
 public:
  // Creates the transport at once; raises Exception("Error obtaining session
  // handle") when the platform's client cannot be set up.
  HttpClient(Env& env, int connect_timeout_ms, int response_timeout_ms);
  ~HttpClient();

  // Exchanges still running after a stop was signalled end within the
  // response time-out of the request, whatever the peer does. A deadline
  // set as well does not replace it: the first of the two ends the exchange.
  void SetStopSignal(const StopSignal* stop) { stop_ = stop; }
  // Redirects are followed only within the origin (scheme, host, port) an
  // exchange started on; any other target fails with "Redirect to another
  // origin refused: <location>" before anything is sent there.
  void RestrictRedirectsToOrigin() { same_origin_only_ = true; }
  // Every exchange from now on ends by `deadline`, redirects included,
  // whatever the peer does: each request's time-outs are cut to the time
  // left, and a request still running one response time-out after its start
  // (so by the deadline at the latest) fails as a time-out, however the
  // peer trickles. Once the deadline has passed, Send fails with
  // kDeadlinePassedMessage before sending.
  void SetDeadline(StopSignal::Clock::time_point deadline);
  // An answer body (after content decoding) longer than `max_bytes` fails
  // the exchange as soon as it passes that length.
  void SetMaxBodyBytes(size_t max_bytes) { max_body_bytes_ = max_bytes; }

  static constexpr const char* kDeadlinePassedMessage = "Operation timed out";

  // One exchange: `method` is "GET" or "POST"; follows up to 5 redirects.
  // Locations quoted in failure messages come from the peer and are made
  // fit for a log line (LoggableText).
  // Credential headers ("X-Tolvenar-Connector", "Authorization",
  // "X-Tolvenar-Session") are sent only to the origin of `url`. Every answer
  // is returned; failures raise Exception with the client's messages.
  // `body` is taken by value so that a large one can be moved in.
  HttpClientResponse Send(const std::string& method, const std::string& url,
                          const HttpHeaders& headers, std::string body);

 private:
  std::unique_ptr<HttpTransport> transport_;
  int connect_timeout_ms_;
  int response_timeout_ms_;
  const StopSignal* stop_ = nullptr;
  bool same_origin_only_ = false;
  std::optional<StopSignal::Clock::time_point> deadline_;
  size_t max_body_bytes_ = kMaxAnswerBodyBytes;
};

// Decodes an answer body as strict UTF-8, dropping a leading byte-order
// mark; raises Exception("No mapping for the Unicode character exists in
// the target multi-byte code page") for invalid UTF-8. Decodes in place:
// the text returned is `body`'s own storage.
std::string DecodeResponseText(std::string body);

}  // namespace tolvenar
