// Conversion of an INI value to a 32-bit signed integer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvenar {

// Leading blanks (U+0020 only), one optional "+" or "-", then either a
// decimal number that fits 32 bits or a hexadecimal one after "$", "x", "X",
// "0x" or "0X" with at most 8 significant digits, taken as a 32-bit pattern
// (and negated after "-"). Anything else, a trailing blank included, gives
// no value.
std::optional<std::int32_t> ParseInt32(std::string_view text);

// ParseInt32, or `fallback` when the text is no valid integer.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

}  // namespace tolvenar
