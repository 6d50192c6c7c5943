// TlsTestServer: an HTTPS server on 127.0.0.1 whose certificate comes from a
// certificate authority made for that server alone, so tests can show both
// a rejected certificate (the CA is not trusted) and an accepted one (an Env
// whose transports trust it). Only the Linux test build has one; elsewhere
// the factories give nullptr and the tests that need them skip.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "env/env.h"
#include "env/http_transport.h"

namespace tolvenar::testing {

struct TlsAnswer {
  int status = 200;
  HttpHeaders headers;
  std::string body;
};

// Called with the method and the request target (path and query).
using TlsHandler = std::function<TlsAnswer(const std::string& method, const std::string& target)>;

struct TlsServerOptions {
  // Subject alternative names: IP addresses as IP entries, others as DNS.
  std::vector<std::string> names = {"localhost", "127.0.0.1"};
  bool expired = false;  // validity ended yesterday
};

class TlsTestServer {
 public:
  virtual ~TlsTestServer() = default;
  virtual int port() const = 0;
  // "https://127.0.0.1:<port>" followed by `path_query`.
  virtual std::string Url(std::string_view path_query) const = 0;
  // PEM file of the certificate authority that signed the server's certificate.
  virtual std::string CaFile() const = 0;
  // Handshakes so far that resumed an earlier session instead of a full one.
  virtual long ResumedHandshakes() const = 0;
};

// nullptr where the test build has no TLS server.
std::unique_ptr<TlsTestServer> StartTlsTestServer(TlsHandler handler,
                                                  TlsServerOptions options = {});

// Env::Default() with HTTP transports that also trust `ca_file`; nullptr
// where the platform's transport cannot be given an extra root.
std::unique_ptr<Env> NewEnvTrustingCa(const std::string& ca_file);

}  // namespace tolvenar::testing
