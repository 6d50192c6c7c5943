// Splitting the command line and testing for a switch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/command_line.h"
#include "platform/env.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

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

TEST(HasSwitchTest, PrefixAndWholeNameIgnoringCase) {
  Env& env = *Env::Default();
  struct Case {
    std::vector<std::string> params;
    bool console;
  };
  const Case cases[] = {
      {{"-console"}, true},
      {{"/console"}, true},
      {{"/CONSOLE"}, true},
      {{"-Console"}, true},
      {{"x", "y", "-console"}, true},
      {{"-console", "/install"}, true},
      {{"console"}, false},
      {{"--console"}, false},
      {{"-console:1"}, false},
      {{"/consoles"}, false},
      {{"-"}, false},
      {{""}, false},
      {{}, false},
      {{"- console"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasSwitch(c.params, "console", env), c.console) << ::testing::PrintToString(c.params);
  }
}

TEST(HasSwitchTest, CaseFoldingCoversNonAsciiLetters) {
  Env& env = *Env::Default();
  EXPECT_TRUE(HasSwitch({"/CONEX\xC3\x83O"}, "conex\xC3\xA3o", env));  // Ã / ã
  EXPECT_FALSE(HasSwitch({"/conexao"}, "conex\xC3\xA3o", env));
}

}  // namespace
}  // namespace tolvenar
