#include "config/cnpj.h"

namespace tolvenar {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

// One check digit over `base`, weights 2..9 from the right, repeating.
char CheckDigit(std::string_view base) {
  int sum = 0;
  int weight = 2;
  for (size_t i = base.size(); i-- > 0;) {
    sum += (base[i] - '0') * weight;
    weight = weight == 9 ? 2 : weight + 1;
  }
  const int rest = sum % 11;
  return static_cast<char>('0' + (rest < 2 ? 0 : 11 - rest));
}

}  // namespace

std::string NormalizeCNPJ(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if (IsDigit(c) || IsUpper(c)) {
      kept.push_back(c);
    } else if (c >= 'a' && c <= 'z') {
      kept.push_back(static_cast<char>(c - 'a' + 'A'));
    }
  }
  return kept;
}

std::string CNPJCheckDigits(std::string_view normalized) {
  if (normalized.size() < 12) return "";
  std::string base(normalized.substr(0, 12));
  for (const char c : base) {
    if (!IsDigit(c) && !IsUpper(c)) return "";
  }
  base.push_back(CheckDigit(base));
  base.push_back(CheckDigit(base));
  return base.substr(12);
}

CNPJValidity CheckCNPJ(std::string_view normalized) {
  if (normalized.size() != kCNPJLength) return CNPJValidity::kWrongLength;
  return CNPJCheckDigits(normalized) == normalized.substr(12) ? CNPJValidity::kValid
                                                              : CNPJValidity::kWrongCheckDigits;
}

}  // namespace tolvenar
