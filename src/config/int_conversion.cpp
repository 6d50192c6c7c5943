#include "config/int_conversion.h"

namespace tolvenar {

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal digits only, at most 8 of them after leading zeros.
std::optional<std::uint32_t> ParseHexDigits(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  int significant = 0;
  for (const char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    if (significant > 0 || digit != 0) ++significant;
    if (significant > 8) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// Decimal digits only; the magnitude may reach 2^31 (for "-2147483648").
std::optional<std::uint32_t> ParseDecimalDigits(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  constexpr std::uint32_t kLimit = 2147483648u;
  std::uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint32_t digit = static_cast<std::uint32_t>(c - '0');
    if (value > (kLimit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<std::int32_t> ParseInt32(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }

  std::string_view hex;
  bool is_hex = true;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    hex = text.substr(2);
  } else if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
    hex = text.substr(1);
  } else {
    is_hex = false;
  }

  if (is_hex) {
    const std::optional<std::uint32_t> pattern = ParseHexDigits(hex);
    if (!pattern) return std::nullopt;
    // Two's complement arithmetic: "-$80000000" stays the lowest value.
    const std::uint32_t value = negative ? 0u - *pattern : *pattern;
    return static_cast<std::int32_t>(value);
  }

  const std::optional<std::uint32_t> magnitude = ParseDecimalDigits(text);
  if (!magnitude) return std::nullopt;
  if (negative) return static_cast<std::int32_t>(0u - *magnitude);
  if (*magnitude > 2147483647u) return std::nullopt;
  return static_cast<std::int32_t>(*magnitude);
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  return ParseInt32(text).value_or(fallback);
}

}  // namespace tolvenar
