// One HTTP request, one response: the platform's part of the HTTP client.
// Redirects, cookies, decompression and text decoding are done above this
// interface, the same way on every platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/stop_signal.h"

namespace tolvenar {

// The most an answer's body may hold, after any content decoding, on every
// exchange. A longer body fails the exchange with "Error reading data: ...";
// nothing is set aside for it before its bytes arrive.
constexpr size_t kMaxAnswerBodyBytes = size_t{64} << 20;

using HttpHeader = std::pair<std::string, std::string>;
using HttpHeaders = std::vector<HttpHeader>;

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  // Absolute URL whose scheme is "http" or "https" in lower case, with an
  // explicit host; already checked by the client layer.
  std::string url;
  HttpHeaders headers;          // in the caller's order, after "User-Agent"
  std::string body;             // sent with Content-Length when the method is POST
  int connect_timeout_ms = 0;   // name resolution and each connect attempt
  int response_timeout_ms = 0;  // sending, and each single wait for data
  // The owning thread's stop signal, or nullptr. Once a stop is requested,
  // the request fails as a time-out (its usual message) when it still runs
  // response_timeout_ms after the later of the request and its own start,
  // however the peer keeps it alive.
  const StopSignal* stop = nullptr;
  // When the request must be over, or nothing: past it the request fails as
  // a time-out (its usual message), however the peer keeps it alive. It
  // stands beside `stop`: the request ends at whichever bound comes first.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // The most the answer's body may hold; a longer one fails the request as
  // one past kMaxAnswerBodyBytes does, once the limit is passed.
  size_t max_body_bytes = kMaxAnswerBodyBytes;
};

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;  // as received, names in their received case
  std::string body;     // raw bytes, still encoded as the server sent them
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Performs exactly one request; follows no redirect, keeps no cookie and
  // decodes no content encoding. Every answer is returned whatever its
  // status. A failure that leaves no answer raises tolvenar::Exception with
  // the client's failure message ("Error sending data: (%d) %s", ...). A
  // header value holding CR, LF or NUL is refused with
  // "Error adding header: (%d) %s" before anything is sent.
  virtual HttpResponse Send(const HttpRequest& request) = 0;
};

// The value of the first header named `name` (ASCII letters compared without
// case), or nullptr.
const std::string* FindHeader(const HttpHeaders& headers, std::string_view name);

// The length announced by a "Content-Length" header of plain decimal digits
// (at most 18 of them); nothing for any other form or when there is none.
std::optional<uint64_t> AnnouncedContentLength(const HttpHeaders& headers);

// Capacity for a body to set aside before it arrives, so that a large one
// is received into one allocation: the announced length, but never more than
// 64 MiB (nor `max_body_bytes`), so a false claim cannot make the connector
// commit memory for bytes that never come. 0 when no length is announced.
size_t BodyReserveFor(const HttpHeaders& headers, size_t max_body_bytes = kMaxAnswerBodyBytes);

// When a request that began at `started` must be over: the first of
// `deadline` and the stop's bound (`limit` after the later of the stop and
// `started`); nothing while no stop was requested and there is no deadline.
// Read again as the request runs, since the stop may come at any time.
std::optional<StopSignal::Clock::time_point> RequestEnd(
    const StopSignal* stop, StopSignal::Clock::time_point started,
    StopSignal::Clock::duration limit, std::optional<StopSignal::Clock::time_point> deadline);

}  // namespace tolvenar
