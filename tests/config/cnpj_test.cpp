// The CNPJ as the connector keeps and judges it, numeric and alphanumeric.
#include "config/cnpj.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvenar {
namespace {

TEST(CnpjTest, NormalisationKeepsAsciiDigitsAndLettersInUpperCase) {
  const struct {
    const char* written;
    const char* kept;
  } cases[] = {
      {"12.345.678/0001-95", "12345678000195"},
      {" 12.abc.345/01De-35 ", "12ABC34501DE35"},
      {"12 ABC 345\t01DE 35", "12ABC34501DE35"},
      // Non-ASCII letters are no CNPJ characters: 'Ç' (UTF-8 C3 87), 'é'.
      {"12.\xC3\x87"
       "BC.345/01DE-35",
       "12BC34501DE35"},
      {"\xC3\xA9", ""},
      {"./- \r\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NormalizeCNPJ(c.written), c.kept) << c.written;
  }
}

TEST(CnpjTest, CheckDigitsFollowTheModulo11RuleForBothKinds) {
  const struct {
    const char* cnpj;
    CNPJValidity validity;
  } cases[] = {
      // The Receita Federal's published alphanumeric example, 12.ABC.345/01DE-35.
      {"12ABC34501DE35", CNPJValidity::kValid},
      {"12ABC34501DE36", CNPJValidity::kWrongCheckDigits},
      {"12ABC34501DE53", CNPJValidity::kWrongCheckDigits},
      {"12ABC34501DE3E", CNPJValidity::kWrongCheckDigits},  // letters are no check digits
      {"11222333000181", CNPJValidity::kValid},
      {"12345678000195", CNPJValidity::kValid},
      {"12345678000608", CNPJValidity::kValid},  // a remainder below 2 gives 0
      {"12345678000618", CNPJValidity::kWrongCheckDigits},
      {"12345678000190", CNPJValidity::kWrongCheckDigits},
      {"1234567800019", CNPJValidity::kWrongLength},
      {"123456780001950", CNPJValidity::kWrongLength},
      {"", CNPJValidity::kWrongLength},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckCNPJ(c.cnpj), c.validity) << c.cnpj;
  }
  EXPECT_EQ(CNPJCheckDigits("12ABC34501DE"), "35");
  EXPECT_EQ(CNPJCheckDigits("12ABC34501DE99"), "35");
  EXPECT_EQ(CNPJCheckDigits("12ABC"), "");
}

}  // namespace
}  // namespace tolvenar
