// Peer text made fit for one log line.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvenar {
namespace {

TEST(LoggableTextTest, ReplacesControlsAndBrokenBytesAndCutsByCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string cedilla = "\xC3\xA7";       // 2 bytes
  const std::string euro = "\xE2\x82\xAC";      // 3 bytes
  const std::string clef = "\xF0\x9D\x84\x9E";  // 4 bytes
  for (const Case& c : {
           Case{"plain text / ok", "plain text / ok"},
           Case{"a\r\nb", "a??b"},
           Case{std::string("a\0b", 3), "a?b"},
           Case{"\x7F\x1B[31m", "??[31m"},
           Case{cedilla + euro + clef, cedilla + euro + clef},
           Case{"\xE9t\xC3", "?t?"},     // lone Latin-1 byte, cut sequence
           Case{"\xED\xA0\x80!", "?!"},  // encoded surrogate: one character
           Case{std::string(201, 'x'), std::string(200, 'x')},
           Case{std::string(199, 'x') + clef + "y", std::string(199, 'x') + clef},
           Case{std::string(200, 'x') + clef, std::string(200, 'x')},
           Case{"", ""},
       }) {
    EXPECT_EQ(LoggableText(c.in), c.out) << c.in;
  }
  EXPECT_EQ(LoggableText("abcdef", 3), "abc");
}

}  // namespace
}  // namespace tolvenar
