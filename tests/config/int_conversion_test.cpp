#include "config/int_conversion.h"

#include <gtest/gtest.h>

#include <climits>

namespace tolvenar {
namespace {

struct IntCase {
  const char* text;
  std::optional<std::int32_t> expected;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << "[" << c.text << "]"; }

class ParseInt32Test : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseInt32Test, ConvertsOrRefuses) {
  EXPECT_EQ(ParseInt32(GetParam().text), GetParam().expected)
      << "text: [" << GetParam().text << "]";
}

constexpr std::optional<std::int32_t> kInvalid = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Decimal, ParseInt32Test,
    ::testing::Values(IntCase{"0", 0}, IntCase{"1000", 1000}, IntCase{"+1000", 1000},
                      IntCase{"-5000", -5000}, IntCase{"0001000", 1000}, IntCase{"   42", 42},
                      IntCase{"  -7", -7}, IntCase{"2147483647", INT_MAX},
                      IntCase{"-2147483648", INT_MIN}, IntCase{"2147483648", kInvalid},
                      IntCase{"-2147483649", kInvalid}, IntCase{"99999999999", kInvalid},
                      IntCase{"4294967296", kInvalid}));

INSTANTIATE_TEST_SUITE_P(Hexadecimal, ParseInt32Test,
                         ::testing::Values(IntCase{"0x1388", 5000}, IntCase{"0X1388", 5000},
                                           IntCase{"$1388", 5000}, IntCase{"x1388", 5000},
                                           IntCase{"X1388", 5000}, IntCase{"$abCD", 0xABCD},
                                           IntCase{"$7FFFFFFF", INT_MAX}, IntCase{"$FFFFFFFF", -1},
                                           IntCase{"$80000000", INT_MIN}, IntCase{"-$1", -1},
                                           IntCase{"-$80000000", INT_MIN}, IntCase{"-$FFFFFFFF", 1},
                                           IntCase{"+0x10", 16}, IntCase{" $10", 16},
                                           // Leading zeros are not significant digits.
                                           IntCase{"$00000000FF", 255}, IntCase{"0x000000001", 1},
                                           IntCase{"$100000000", kInvalid},
                                           IntCase{"$123456789", kInvalid}));

INSTANTIATE_TEST_SUITE_P(
    Invalid, ParseInt32Test,
    ::testing::Values(IntCase{"", kInvalid}, IntCase{" ", kInvalid}, IntCase{"+", kInvalid},
                      IntCase{"-", kInvalid}, IntCase{"$", kInvalid}, IntCase{"0x", kInvalid},
                      IntCase{"x", kInvalid}, IntCase{"-$", kInvalid}, IntCase{"abc", kInvalid},
                      IntCase{"5000ms", kInvalid}, IntCase{"42 ", kInvalid},
                      IntCase{"\t42", kInvalid}, IntCase{"- 1", kInvalid}, IntCase{"+-1", kInvalid},
                      IntCase{"--1", kInvalid}, IntCase{"1.5", kInvalid}, IntCase{"1e3", kInvalid},
                      IntCase{"0x1g", kInvalid}, IntCase{"$-1", kInvalid},
                      IntCase{"0$10", kInvalid}, IntCase{"00x10", kInvalid},
                      IntCase{"true", kInvalid}, IntCase{"\xEF\xBC\x91", kInvalid}));

TEST(StrToIntDefTest, FallsBackOnlyForInvalidText) {
  EXPECT_EQ(StrToIntDef("abc", 3000), 3000);
  EXPECT_EQ(StrToIntDef("", 3000), 3000);
  EXPECT_EQ(StrToIntDef("0", 3000), 0);
  EXPECT_EQ(StrToIntDef("-1", 1), -1);
}

}  // namespace
}  // namespace tolvenar
