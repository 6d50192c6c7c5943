#include "config/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvenar {
namespace {

struct Base64Case {
  std::string bytes;
  std::string text;
};

// RFC 4648 section 10, plus bytes that use "+" and "/" and a NUL.
const Base64Case kEncodeCases[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xFB\xFF\xBF", "+/+/"},
    {std::string("\0\0", 2), "AAA="},
};

TEST(Base64Test, EncodesStandardAlphabetPadded) {
  for (const auto& c : kEncodeCases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.text) << "bytes: " << c.bytes;
  }
}

TEST(Base64Test, DecodesWhatItEncodes) {
  for (const auto& c : kEncodeCases) {
    EXPECT_EQ(Base64DecodeLenient(c.text), c.bytes) << "text: " << c.text;
  }
}

TEST(Base64Test, EveryByteValueAndLengthRoundTripsOnOneLine) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) {
    const std::string text = Base64Encode(bytes);
    ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
    ASSERT_EQ(text.find_first_of(" \r\n\t"), std::string::npos);
    ASSERT_EQ(Base64DecodeLenient(text), bytes) << "length " << bytes.size();
    bytes += static_cast<char>((i * 37 + 11) & 0xFF);
  }
}

TEST(Base64Test, LenientDecoding) {
  const Base64Case cases[] = {
      // Characters outside the alphabet are skipped wherever they stand.
      {"foobar", " Zm9v\r\nYm\tFy "},
      {"foobar", "Z=m=9=v=Y=m=F=y"},
      {"f", std::string("Z\0g", 3)},
      {"f", "\xC3\xA7Zg\xC3\xA7"},
      // "=" does not end the decoding: the next characters join the group.
      {"f\x06`", "Zg==Zg=="},
      // Left-over characters: 2 give 1 byte, 3 give 2, 1 gives nothing.
      {"f", "Zg"},
      {"fo", "Zm8"},
      {"foo", "Zm9vY"},
      {"foo", "Zm9vY==="},
      // Surplus bits of a left-over group are dropped.
      {"f", "Zh"},
      {"fo", "Zm9"},
      // Nothing from the alphabet gives nothing.
      {"", "===="},
      {"", "-_.!@# \r\n"},
      {"", "Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64DecodeLenient(c.text), c.bytes) << "text: " << c.text;
  }
}

}  // namespace
}  // namespace tolvenar
