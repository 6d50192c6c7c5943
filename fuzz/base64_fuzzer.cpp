// The lenient Base64 reader on any text, and a round trip of the encoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/base64.h"
#include "fuzz_check.h"

namespace {

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

void CheckEncoded(std::string_view bytes) {
  const std::string encoded = tolvenar::Base64Encode(bytes);
  FUZZ_CHECK(encoded.size() % 4 == 0);
  FUZZ_CHECK(encoded.size() == (bytes.size() + 2) / 3 * 4);
  const size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
  for (size_t i = 0; i < encoded.size() - (encoded.empty() ? 0 : padding); ++i) {
    FUZZ_CHECK(IsAlphabet(encoded[i]));
  }
  FUZZ_CHECK(tolvenar::Base64DecodeLenient(encoded) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = tolvenar::Base64DecodeLenient(text);
  size_t alphabet = 0;
  for (char c : text) alphabet += IsAlphabet(c) ? 1 : 0;
  FUZZ_CHECK(decoded.size() == alphabet * 3 / 4);
  CheckEncoded(text);
  CheckEncoded(decoded);
  return 0;
}
