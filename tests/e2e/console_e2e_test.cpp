// The connector executables in console mode, natively and under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/version.h"
#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::ConnectorTarget;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class ConsoleE2ETest : public ::testing::TestWithParam<ConnectorTarget> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " build not present";
    GetParam().InstallInto(dir_);
  }
  testing::TempDir dir_;
};

TEST_P(ConsoleE2ETest, WithoutConfigurationReportsAndExitsOne) {
  const testing::ProcessResult r =
      testing::RunProcess(GetParam().Command(dir_, {"-console"}), dir_.Dir(), "", 120s);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string module = GetParam().executable_name;
  EXPECT_THAT(r.err, MatchesRegex("Exception Exception in module " + module +
                                  " at [0-9A-F]{8}\\.\r\n"
                                  "Nenhuma conexao configurada em TolvenarConnector\\.ini\\.\r\n"
                                  "\r\n"));
}

// A start that could run nothing fails with its reason: before, every
// refused worker ended at once and the console line said the connector ran;
// a huge file was read whole.
TEST_P(ConsoleE2ETest, AStartThatCanRunNothingReportsWhyAndExitsOne) {
  const std::string ini = dir_.File("TolvenarConnector.ini");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[Connector]\r\nServidor=http://127.0.0.1:9\r\nCNPJ=1\r\nCodigoVinculacao=x\r\n",
       "Nenhuma conexao de TolvenarConnector.ini pode iniciar: Conexao HTTP recusada. Ative "
       "HTTPS ou PermitirHTTPInseguro apenas para homologacao.\r\n"},
      {"[Connector]\r\nServidor=https://127.0.0.1:9\r\nCNPJ=1\r\n;" + std::string(1024 * 1024, 'x'),
       " maior que 1 MiB (1048628 bytes): nao foi lido.\r\n"},
  };
  for (const auto& [content, message] : cases) {
    dir_.Write("TolvenarConnector.ini", content);
    const testing::ProcessResult r =
        testing::RunProcess(GetParam().Command(dir_, {"-console"}), dir_.Dir(), "\r\n", 120s);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "TolvenarConnector.log"));
  }
}

TEST_P(ConsoleE2ETest, ThreeProfilesRunUntilEnterThenExitZero) {
  // Nothing listens on port 9: every worker fails its exchange, logs it and
  // pauses one second.
  std::string ini;
  for (const char* cnpj : {"11.111.111/0001-11", "22222222000122", "33333333000133"}) {
    ini += std::string("[Connector_") + cnpj[0] + "]\r\nServidor=http://127.0.0.1:9\r\n" +
           "PermitirHTTPInseguro=1\r\nIntervaloConsultaMS=1000\r\nCodigoVinculacao=abc\r\n" +
           "APILocal=http://127.0.0.1:9\r\nCNPJ=" + cnpj + "\r\n";
  }
  dir_.Write("TolvenarConnector.ini", ini);
  testing::Process process(GetParam().Command(dir_, {"/CONSOLE"}), dir_.Dir());
  ASSERT_TRUE(process.WaitForOutput("ENTER", 120s)) << process.out_so_far();
  const auto log_has_all = [&] {
    if (!std::filesystem::exists(dir_.path() / "TolvenarConnector.log")) return false;
    const std::string log = dir_.Read("TolvenarConnector.log");
    return log.find("[11111111000111] Falha de comunicacao: ") != std::string::npos &&
           log.find("[22222222000122] Falha de comunicacao: ") != std::string::npos &&
           log.find("[33333333000133] Falha de comunicacao: ") != std::string::npos;
  };
  for (int i = 0; i < 600 && !log_has_all(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(log_has_all());
  process.WriteStdIn("\r\n");
  const testing::ProcessResult r = process.Wait(120s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, std::string("Tolvenar Connector ") + kConnectorVersion +
                       " em execucao. Pressione ENTER para encerrar.\r\n");
  EXPECT_EQ(r.err, "");
}

TEST_P(ConsoleE2ETest, EndOfInputStopsAtOnce) {
  dir_.Write("TolvenarConnector.ini",
             "[Connector]\nServidor=https://127.0.0.1:9\nCNPJ=1\nIntervaloConsultaMS=1000\n"
             "CodigoVinculacao=x\nAPILocal=http://127.0.0.1:9\n");
  const testing::ProcessResult r = testing::RunProcess(
      GetParam().Command(dir_, {"x", "-console", "/install"}), dir_.Dir(), "", 120s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("em execucao"));
}

// Run by hand with a switch it does not know, the program says how it is
// used and fails, rather than ending silently with 0.
TEST_P(ConsoleE2ETest, AnUnknownSwitchShowsTheUsageAndFails) {
  for (const char* mistyped : {"-chek", "--check", "check"}) {
    SCOPED_TRACE(mistyped);
    const testing::ProcessResult r =
        testing::RunProcess(GetParam().Command(dir_, {mistyped}), dir_.Dir(), "", 120s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("Uso: "));
    EXPECT_THAT(r.err, HasSubstr("  -check      verifica TolvenarConnector.ini"));
    EXPECT_EQ(r.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Executables, ConsoleE2ETest,
                         ::testing::ValuesIn(testing::ConnectorTargets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
