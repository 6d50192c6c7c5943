// Text helpers: trimming, and peer text made fit for one log line.
#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tolvenar {
namespace {

// Each trimming function against the same inputs: a row shows what each set
// removes from both ends and, where the results differ, where the sets part.
TEST(TrimTest, EachFunctionRemovesExactlyItsSetFromBothEnds) {
  struct Case {
    std::string in;
    std::string controls_and_spaces;
    std::string whitespace_except_lf;
    std::string spaces_and_tabs;
  };
  const std::string nul(1, '\0');
  const std::string soh = "\x01";
  for (const Case& c : {
           Case{" \t a b \t ", "a b", "a b", "a b"},
           Case{"\r a \r", "a", "a", "\r a \r"},
           Case{"\v\fa\f\v", "a", "a", "\v\fa\f\v"},
           Case{"\na\n", "a", "\na\n", "\na\n"},
           Case{" a\r\n", "a", "a\r\n", "a\r\n"},
           Case{soh + "a\x1F", "a", soh + "a\x1F", soh + "a\x1F"},
           Case{nul + "a" + nul, "a", nul + "a" + nul, nul + "a" + nul},
           Case{"\x7F a \xC2\xA0", "\x7F a \xC2\xA0", "\x7F a \xC2\xA0", "\x7F a \xC2\xA0"},
           Case{"\t\r\n \x01", "", "\n \x01", "\r\n \x01"},
           Case{"", "", "", ""},
       }) {
    EXPECT_EQ(TrimControlsAndSpaces(c.in), c.controls_and_spaces) << c.in;
    EXPECT_EQ(TrimWhitespaceExceptLineFeed(c.in), c.whitespace_except_lf) << c.in;
    EXPECT_EQ(TrimSpacesAndTabs(c.in), c.spaces_and_tabs) << c.in;
  }
}

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

// Characters that a terminal or a viewer would act on: C1 controls (U+009B
// starts a terminal control sequence), line separators and the
// bidirectional controls that show a line's text in another order.
TEST(LoggableTextTest, ReplacesC1ControlsSeparatorsAndBidiControls) {
  struct Case {
    std::string in;
    std::string out;
  };
  for (const Case& c : {
           Case{"id\xC2\x9B"
                "31m",
                "id?31m"},                                  // U+009B
           Case{"\xC2\x80|\xC2\x85|\xC2\x9F", "?|?|?"},     // U+0080, U+0085, U+009F
           Case{"\xC2\xA0|\xC2\xA9", "\xC2\xA0|\xC2\xA9"},  // U+00A0, U+00A9 stay
           Case{"a\xE2\x80\xAE"
                "cba",
                "a?cba"},                                                     // U+202E
           Case{"\xE2\x80\x8E\xE2\x80\x8F", "??"},                            // U+200E, U+200F
           Case{"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "????"},  // U+202A-D
           Case{"\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9", "????"},  // U+2066-9
           Case{"\xE2\x80\xA8|\xE2\x80\xA9", "?|?"},                          // U+2028, U+2029
           Case{"\xD8\x9C", "?"},                                             // U+061C
           Case{"\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",           // U+200D, U+202F,
                "\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},          // U+2065, U+206A stay
       }) {
    EXPECT_EQ(LoggableText(c.in), c.out) << c.in;
  }
}

// A message that spans lines stays on one: each run of controls is one
// blank, and none opens the line.
TEST(FoldControlRunsTest, EachRunOfControlsBecomesOneBlank) {
  const std::pair<std::string, std::string> cases[] = {
      {"System Error.  Code: 5.\r\nAcesso negado.", "System Error.  Code: 5. Acesso negado."},
      {"\r\nantes\t\tdepois\n", "antes depois"},
      {"sem controle", "sem controle"},
      {"\x1b[2J", "[2J"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(FoldControlRuns(in), out) << in;
}

// A report line: runs of controls fold to one blank first, so a CR LF
// is a blank and not "??"; what is left is cleaned and cut as a log line.
TEST(OneLineLoggableTextTest, FoldsControlRunsThenCleansAndCuts) {
  const struct {
    std::string in;
    size_t max;
    std::string out;
  } cases[] = {
      {"System Error.  Code: 5.\r\nAcesso negado.", 500, "System Error.  Code: 5. Acesso negado."},
      {"\r\nfim\n", 500, "fim"},
      {"a\x7F"
       "b\xC2\x85"
       "c\xE2\x80\xAE"
       "d\xFF",
       500, "a?b?c?d?"},
      {"a\r\nb", 2, "a "},
      {"\xC3\xA7\xC3\xA3o", 2, "\xC3\xA7\xC3\xA3"},
      {std::string(600, 'x'), 800, std::string(600, 'x')},
  };
  for (const auto& c : cases) EXPECT_EQ(OneLineLoggableText(c.in, c.max), c.out) << c.in;
  EXPECT_EQ(OneLineLoggableText(std::string(600, 'x')), std::string(500, 'x'));
}

TEST(JoinTextTest, JoinsWithoutTheInnerNulsAndEndsWithOne) {
  static constexpr char kPart[] = "1.2";
  static constexpr auto kJoined = JoinText("a/", kPart, "", " z");
  static_assert(std::string_view(kJoined) == "a/1.2 z");
  EXPECT_EQ(std::string(kJoined.c_str()), "a/1.2 z");
  EXPECT_EQ(std::string_view(JoinText("")), "");
  EXPECT_EQ(std::string_view(JoinText("x")), "x");
}

}  // namespace
}  // namespace tolvenar
