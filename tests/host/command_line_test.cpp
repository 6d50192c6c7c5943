// Testing the command line for a switch.
#include "host/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "env/env.h"

namespace tolvenar {
namespace {

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
