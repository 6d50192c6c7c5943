// SplitCommandLine on any text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "host/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto params = tolvenar::SplitCommandLine(text);
  size_t total = 0;
  for (const std::string& param : params) {
    // Quotes are dropped; nothing is invented.
    FUZZ_CHECK(param.find('"') == std::string::npos);
    total += param.size();
  }
  FUZZ_CHECK(total <= text.size());
  return 0;
}
