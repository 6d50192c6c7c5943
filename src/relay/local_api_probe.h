// The local API's "/health", as the version probe sees it.
#pragma once

#include <string>

namespace tolvenar {

class Env;
class StopSignal;

struct LocalAPIHealth {
  int status = 0;       // 0 when no answer arrived
  std::string version;  // member "version" of a 200 answer's JSON object
  std::string error;    // why no usable answer: the client's message
};

// GET "<local_api_url>/health" with the probe's time-outs and no headers of
// its own. Raises only when the HTTP client cannot be created.
LocalAPIHealth ProbeLocalAPIHealth(Env& env, const std::string& local_api_url,
                                   const StopSignal* stop);

}  // namespace tolvenar
