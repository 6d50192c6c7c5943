// Unpredictable identifiers and secrets for the reference servers.
#pragma once

#include <cstddef>
#include <string>

namespace tolvenar::tools {

// `bytes` random bytes from std::random_device, as lower-case hexadecimal.
std::string RandomHex(size_t bytes);

}  // namespace tolvenar::tools
