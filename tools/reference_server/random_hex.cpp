#include "reference_server/random_hex.h"

#include <random>

namespace tolvenar::tools {

std::string RandomHex(size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::uniform_int_distribution<int> byte(0, 255);
  std::string text;
  text.reserve(bytes * 2);
  for (size_t i = 0; i < bytes; ++i) {
    const int value = byte(device);
    text += kDigits[value >> 4];
    text += kDigits[value & 15];
  }
  return text;
}

}  // namespace tolvenar::tools
