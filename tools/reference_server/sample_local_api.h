// Sample local API: the 22 routes the connector may relay, with small,
// plausible answers, and "/health" with a "version". Any route can be made
// slow or failing, and the latest requests are recorded (ListenOptions).
// Admin routes on loopback drive it while it runs; they mask credential
// headers, while Requests() gives them whole. A reference for integrators and tests, not a
// production server.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reference_server/listen_options.h"
#include "reference_server/recorded_request.h"

namespace tolvenar::tools {

class HttpListener;

struct RouteFault {
  int status = 500;  // the answer's status; 0 gives the route's own answer
  int delay_ms = 0;  // waited before answering
  std::string body;  // raw bytes; empty gives a JSON error naming the route
};

class SampleLocalApi {
 public:
  static constexpr const char* kDefaultVersion = "2.4.1";

  // Starts serving at once; raises std::runtime_error when it cannot.
  explicit SampleLocalApi(const ListenOptions& options = {}, std::string version = kDefaultVersion);
  ~SampleLocalApi();
  SampleLocalApi(const SampleLocalApi&) = delete;
  SampleLocalApi& operator=(const SampleLocalApi&) = delete;

  int Port() const;
  std::string BaseURL() const;
  const std::string& Version() const { return version_; }

  // Makes `path` (any route, known or not) answer as `fault` says; a fault
  // with status 0 and no delay removes it.
  void SetFault(const std::string& path, const RouteFault& fault);

  // The latest requests except the admin routes, in arrival order.
  std::vector<RecordedRequest> Requests() const;
  std::vector<RecordedRequest> Requests(std::string_view path) const;

  std::string Report() const;

 private:
  struct State;
  struct Exchange;
  void Handle(Exchange& exchange);
  void HandleAdmin(Exchange& exchange);

  std::string version_;
  std::unique_ptr<State> state_;
  std::unique_ptr<HttpListener> listener_;  // last: stops before the state goes
};

}  // namespace tolvenar::tools
