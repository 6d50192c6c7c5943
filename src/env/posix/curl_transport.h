// HttpTransport over libcurl (OpenSSL build).
#pragma once

#include <memory>
#include <string>

#include "env/http_transport.h"

namespace tolvenar {

struct CurlTransportOptions {
  // Tests only: a PEM file of extra trusted roots. The product leaves it
  // empty and trusts the system's roots alone.
  std::string test_ca_file;
};

// Raises Exception("Error obtaining session handle") when curl cannot start.
std::unique_ptr<HttpTransport> NewCurlTransport(const CurlTransportOptions& options = {});

}  // namespace tolvenar
