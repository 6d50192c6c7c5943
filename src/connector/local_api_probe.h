// The local API's "/health", as the version probe sees it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/stop_signal.h"

namespace tolvenar {

class Env;
class StopSignal;

struct LocalAPIHealth {
  int status = 0;       // 0 when no answer arrived
  std::string version;  // member "version" of a 200 answer's JSON object
  std::string error;    // why no usable answer: the client's message
};

// The most of a "/health" answer read: a version needs a few bytes, and a
// longer answer fails the probe before it can take memory.
constexpr size_t kHealthMaxBodyBytes = size_t{8} << 10;
// The probe's wait for data; with a deadline, also the longest one request
// of the probe may take.
constexpr int kHealthResponseTimeoutMS = 3000;

// GET "<local_api_url>/health" with the probe's time-outs and no headers of
// its own; with a `deadline`, the whole probe ends by then whatever the
// peer does. Raises only when the HTTP client cannot be created.
LocalAPIHealth ProbeLocalAPIHealth(
    Env& env, const std::string& local_api_url, const StopSignal* stop,
    std::optional<StopSignal::Clock::time_point> deadline = std::nullopt);

}  // namespace tolvenar
