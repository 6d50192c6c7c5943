// HttpTransport over WinHTTP.
#pragma once

#include <memory>
#include <string>

#include "env/http_transport.h"

namespace tolvenar {

struct WinHttpTransportOptions {
  // Tests only: a PEM file of an extra trusted root. The product leaves it
  // empty and trusts the platform's roots alone.
  std::string test_ca_file;
};

// Raises Exception("Error obtaining session handle") when WinHTTP cannot start.
std::unique_ptr<HttpTransport> NewWinHttpTransport(const WinHttpTransportOptions& options = {});

}  // namespace tolvenar
