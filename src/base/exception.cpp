#include "base/exception.h"

#include "base/text.h"

namespace tolvenar {

// Not inlined, so the return address is the constructing code.
__attribute__((noinline)) Exception::Exception(std::string message)
    : message_(std::move(message)), raise_address_(__builtin_return_address(0)) {}

EOSError::EOSError(int code, const std::string& platform_text)
    : Exception(OSErrorMessage(code, platform_text)), code_(code) {}

std::string OSErrorMessage(int code, const std::string& platform_text) {
  if (code == 0) return "A call to an OS function failed";
  std::string text = platform_text;
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 0x20 || text.back() == '.')) {
    text.pop_back();
  }
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" + text;
}

}  // namespace tolvenar
