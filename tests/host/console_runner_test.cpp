// The console runner: start, console line, one line of input, stop.
#include "host/console_runner.h"

#include <gtest/gtest.h>

#include <string>

#include "base/exception.h"
#include "base/version.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

class ConsoleEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  void WriteStdOut(std::string_view text) override { out += text; }
  void WriteStdErr(std::string_view text) override { err += text; }
  void ReadLineFromStdIn() override {
    ++reads;
    if (fail_read) throw EInOutError("I/O error 6");
  }
  std::string out, err;
  int reads = 0;
  bool fail_read = false;
};

TEST(RunConsoleTest, WithoutProfilesRaisesBeforeTheConsoleLine) {
  testing::TempDir dir;
  ConsoleEnv env(dir.Dir());
  EXPECT_THROW(RunConsole(env), Exception);
  EXPECT_EQ(env.out, "");
  EXPECT_EQ(env.reads, 0);
}

// Before, the refused workers ended at once and the console line said the
// connector ran.
TEST(RunConsoleTest, OnlyRefusedPlainHttpProfilesRaiseBeforeTheConsoleLine) {
  testing::TempDir dir;
  dir.Write("TolvenarConnector.ini", "[Connector]\nServidor=http://127.0.0.1:9\nCNPJ=1\n");
  ConsoleEnv env(dir.Dir());
  try {
    RunConsole(env);
    FAIL() << "RunConsole did not raise";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("Conexao HTTP recusada."), std::string::npos) << e.Message();
  }
  EXPECT_EQ(env.out, "");
  EXPECT_EQ(env.reads, 0);
}

// No enrollment code and no secret: the worker sends nothing and pauses.
constexpr const char* kIdleProfile = "[Connector]\nServidor=https://127.0.0.1:9\nCNPJ=1\n";

TEST(RunConsoleTest, WritesTheConsoleLineReadsOneLineAndStops) {
  testing::TempDir dir;
  dir.Write("TolvenarConnector.ini", kIdleProfile);
  ConsoleEnv env(dir.Dir());
  RunConsole(env);
  EXPECT_EQ(env.out, std::string("Tolvenar Connector ") + kConnectorVersion +
                         " em execucao. Pressione ENTER para encerrar.\r\n");
  EXPECT_EQ(env.reads, 1);
}

TEST(RunConsoleTest, UnusableStandardInputRaisesAfterStopping) {
  testing::TempDir dir;
  dir.Write("TolvenarConnector.ini", kIdleProfile);
  ConsoleEnv env(dir.Dir());
  env.fail_read = true;
  EXPECT_THROW(RunConsole(env), EInOutError);
}

}  // namespace
}  // namespace tolvenar
