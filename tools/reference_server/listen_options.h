// Where a reference server listens, and whether over TLS.
#pragma once

#include <string>

namespace tolvenar::tools {

struct ListenOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port, read back from the server
  // Both set: HTTPS with this PEM certificate (chain) and private key.
  std::string cert_file;
  std::string key_file;
};

}  // namespace tolvenar::tools
