// Splitting a raw command line into parameters.
#include "base/command_line_split.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tolvenar {
namespace {

using ::testing::ElementsAreArray;

TEST(SplitCommandLineTest, BlanksSeparateQuotesGroupAndAreDropped) {
  struct Case {
    const char* line;
    std::vector<std::string> params;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"prog", {"prog"}},
      {"prog -console", {"prog", "-console"}},
      {"  prog\t/console  x ", {"prog", "/console", "x"}},
      {"\"C:\\Program Files\\T.exe\" -console", {"C:\\Program Files\\T.exe", "-console"}},
      {"prog \"-con\"sole", {"prog", "-console"}},
      {"prog a\"b c\"d e", {"prog", "ab cd", "e"}},
      {"prog \"unclosed quote", {"prog", "unclosed quote"}},
      {"prog \\\"x\\\"", {"prog", "\\x\\"}},  // no escape character
      {"prog \"\"", {"prog", ""}},
      {"prog\x01-console", {"prog", "-console"}},  // control characters are white space
  };
  for (const Case& c : cases) {
    EXPECT_THAT(SplitCommandLine(c.line), ElementsAreArray(c.params)) << c.line;
  }
}

}  // namespace
}  // namespace tolvenar
