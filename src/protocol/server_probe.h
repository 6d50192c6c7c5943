// A look at the connection server that changes nothing there.
#pragma once

#include <string>

namespace tolvenar {

class Env;

// One GET of "<server_url>/" with the server exchanges' time-outs, TLS
// checks and same-origin redirects, carrying no credential and calling no
// action. Returns the final answer's status, whatever it is; raises
// Exception with the HTTP client's message when no answer arrives.
int ProbeConnectionServer(Env& env, const std::string& server_url);

}  // namespace tolvenar
