#include "config/base64.h"

#include <array>
#include <cstdint>

namespace tolvenar {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int8_t kNotInAlphabet = -1;

// Byte -> 6-bit value, or kNotInAlphabet.
constexpr std::array<int8_t, 256> MakeReverseTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotInAlphabet;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kReverse = MakeReverseTable();

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = (uint32_t(uint8_t(bytes[i])) << 16) |
                           (uint32_t(uint8_t(bytes[i + 1])) << 8) | uint8_t(bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += kAlphabet[(group >> 6) & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
    if (rest == 2) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string Base64DecodeLenient(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int count = 0;
  for (const char c : text) {
    const int8_t value = kReverse[static_cast<unsigned char>(c)];
    if (value == kNotInAlphabet) continue;
    group = (group << 6) | uint32_t(value);
    if (++count == 4) {
      out += char((group >> 16) & 0xFF);
      out += char((group >> 8) & 0xFF);
      out += char(group & 0xFF);
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out += char((group >> 4) & 0xFF);
  } else if (count == 3) {
    out += char((group >> 10) & 0xFF);
    out += char((group >> 2) & 0xFF);
  }
  return out;
}

}  // namespace tolvenar
