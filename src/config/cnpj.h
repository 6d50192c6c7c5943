// The CNPJ, the Brazilian company registration number, as the connector
// keeps and checks it. Since July 2026 new companies get alphanumeric ones:
// 12 characters that are digits or upper-case letters, then 2 numeric check
// digits; the numeric ones of before are the same rule with digits only.
#pragma once

#include <string>
#include <string_view>

namespace tolvenar {

// The CNPJ as the connection server knows it: ASCII digits and ASCII
// letters kept in order, letters upper-cased; everything else (dots, slash,
// hyphen, blanks, any other character, non-ASCII letters included) removed.
std::string NormalizeCNPJ(std::string_view text);

inline constexpr size_t kCNPJLength = 14;

enum class CNPJValidity { kValid, kWrongLength, kWrongCheckDigits };

// Judges a normalised CNPJ: 14 characters, and the last two the check
// digits computed modulo 11 over the others, each character worth its ASCII
// code minus 48 ('0'..'9' keep their value, 'A' is 17).
CNPJValidity CheckCNPJ(std::string_view normalized);

// The two check digits of the first 12 characters of a normalised CNPJ;
// "" when there are fewer than 12 or one of them is no digit or letter.
std::string CNPJCheckDigits(std::string_view normalized);

}  // namespace tolvenar
