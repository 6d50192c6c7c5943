// Where a reference server listens, whether over TLS, and how much it takes
// in and keeps.
#pragma once

#include <cstddef>
#include <string>

namespace tolvenar::tools {

struct ListenOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port, read back from the server
  // Both set: HTTPS with this PEM certificate (chain) and private key.
  std::string cert_file;
  std::string key_file;
  // A request whose body is longer is answered 413 and never handled. The
  // default holds a 10 MiB answer relayed in a result even when escaping in
  // JSON makes it six times longer, and a 10 MiB command body.
  size_t max_body_bytes = 80 * 1024 * 1024;
  // How many of the latest requests (and results) are kept for the admin
  // routes and tests; older ones are dropped.
  size_t kept_records = 1000;
};

}  // namespace tolvenar::tools
