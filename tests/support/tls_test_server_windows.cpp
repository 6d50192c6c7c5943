// The Windows test build has no HTTPS server (Debian's cpp-httplib and
// OpenSSL exist only for Linux), so the TLS cases skip there.
#include "support/tls_test_server.h"

namespace tolvenar::testing {

std::unique_ptr<TlsTestServer> StartTlsTestServer(TlsHandler, TlsServerOptions) { return nullptr; }

std::unique_ptr<Env> NewEnvTrustingCa(const std::string&) { return nullptr; }

}  // namespace tolvenar::testing
