// A look at the connection server where the worker talks to it, spending
// nothing there.
#pragma once

#include <cstddef>
#include <string>

#include "base/stop_signal.h"

namespace tolvenar {

class Env;

// "<server_url>/api.php?action=<action>": plain concatenation, as every
// server exchange forms its URL.
std::string ServerActionURLOf(const std::string& server_url, const std::string& action);

// The server exchanges' wait for data; with a deadline, also the longest one
// request of the probe may take.
constexpr int kServerResponseTimeoutMS = 45000;

// The action the probe calls, and the most of its answer read.
constexpr const char* kServerProbeAction = "connector-poll";
constexpr size_t kServerProbeMaxBodyBytes = size_t{64} << 10;

// POSTs "{}" to the poll action as a poll would, with the server exchanges'
// headers, time-outs, TLS checks and same-origin redirects, but without the
// connector secret. A connection server knows no connector without it and
// refuses (401 or 403): no enrollment code is spent and no command handed
// out. Returns the final answer's status, whatever it is; raises Exception
// with the HTTP client's message when no answer arrives by `deadline`.
int ProbeConnectionServer(Env& env, const std::string& server_url,
                          StopSignal::Clock::time_point deadline);

}  // namespace tolvenar
