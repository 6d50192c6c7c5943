// The check mode: one report line per finding, exit code 0 only when every
// active profile would work, and nothing written or spent on the server.
#include "host/check_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/exception.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kServer = "https://server.test/conn";
constexpr const char* kApi = "http://api.test:3001";

class CheckEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  void WriteStdOut(std::string_view text) override { out += text; }
  std::string out;
};

// The connection server answers its folder; the local API its health.
// Anything else (another host or port) cannot be reached.
HttpResponse Peers(const HttpRequest& request) {
  if (request.url == "https://server.test/conn/") return {404, {}, "{}"};
  if (request.url == "http://api.test:3001/health") {
    return {200, {{"Content-Type", "application/json"}}, R"({"status":"ok","version":"3.2.1"})"};
  }
  if (request.url == "http://sick.test/health") return {503, {}, "{}"};
  throw Exception("Error sending data: (7) Couldn't connect to server");
}

std::string Section(const std::string& name, const std::string& body) {
  return "[" + name + "]\r\n" + body;
}

std::set<std::string> FilesIn(const testing::TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class RunCheckTest : public ::testing::Test {
 protected:
  RunCheckTest() : env_(dir_.Dir()) { env_.http().SetHandler(Peers); }

  std::string Protected(const std::string& secret) {
    return TTolvenarConnectorConfig::ProtectMachineString(env_.protector(), secret);
  }
  std::string Working() {
    return std::string("Servidor=") + kServer + "\r\nAPILocal=" + kApi +
           "\r\nCNPJ=12.345.678/0001-95\r\nConnectorID=c-9\r\nConnectorSecretEnc=" +
           Protected("s3cret") + "\r\n";
  }

  testing::TempDir dir_;
  CheckEnv env_;
};

TEST_F(RunCheckTest, AWorkingEnrolledProfileGivesZeroAndSaysWhy) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  const std::string expected = "Tolvenar Connector 0.1.0: verificacao de " + dir_.Dir() +
                               "TolvenarConnector.ini\r\n"
                               "[Connector]\r\n"
                               "  Situacao: ativa\r\n"
                               "  Servidor: https://server.test/conn\r\n"
                               "  API local: http://api.test:3001\r\n"
                               "  CNPJ: 12345678000195\r\n"
                               "  Intervalo de consulta: 3000 ms\r\n"
                               "  Vinculacao: vinculada (ConnectorID c-9)\r\n"
                               "  HTTP sem TLS: nao usado (HTTPS)\r\n"
                               "  Servidor de conexao: acessivel por HTTPS, certificado "
                               "verificado (HTTP 404)\r\n"
                               "  API local: /health respondeu, versao 3.2.1\r\n"
                               "  Atividade recente (TolvenarConnector.log):\r\n"
                               "    registro nao encontrado; sem atividade registrada\r\n"
                               "  Resultado: pronta\r\n"
                               "Resumo: 1 conexao ativa, pronta.\r\n";
  EXPECT_EQ(env_.out, expected);
}

// The service's log tells what the probes cannot: a connector revoked on
// the server answers every poll with 403 while the server's folder and the
// local API answer as usual.
TEST_F(RunCheckTest, ARecentRefusedPollInTheLogFailsTheProfileAndPointsToTheGuide) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  env_.SetNow({2026, 12, 10, 9, 5, 7});
  dir_.Write("TolvenarConnector.log",
             "2026-12-10 09:00:00 [12345678000195] Vinculacao concluida com sucesso.\r\n"
             "2026-12-10 09:05:01 [99999999000199] Vinculacao concluida com sucesso.\r\n"
             "2026-12-10 09:05:02 [12345678000195] Servidor de conexao respondeu HTTP 403.\r\n");
  EXPECT_EQ(RunCheck(env_), 1) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("  Atividade recente (TolvenarConnector.log):\r\n"
                                  "    2026-12-10 09:00:00, ha 5 min: Vinculacao concluida com "
                                  "sucesso.\r\n"
                                  "    2026-12-10 09:05:02, ha 5 s: Servidor de conexao respondeu "
                                  "HTTP 403.\r\n"
                                  "  Atividade recente: FALHA: ultima entrada, ha 5 s: Servidor de "
                                  "conexao respondeu HTTP 403.\r\n"
                                  "  Resultado: FALHA\r\n"
                                  "Resumo: 1 de 1 conexao ativa com falha.\r\n"
                                  "Guia de operacao: "));
  EXPECT_THAT(env_.out, HasSubstr("LEIAME.txt\r\n"));

  // Three intervals later (9 s at 3000 ms) the refusal is history: the
  // service stopped, or the server took the connector back since.
  env_.out.clear();
  env_.SetNow({2026, 12, 10, 9, 5, 11});
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("    2026-12-10 09:05:02, ha 9 s: Servidor de conexao"));
  EXPECT_THAT(env_.out, Not(HasSubstr("Guia de operacao")));
}

TEST_F(RunCheckTest, LooksWithoutCredentialsAndCallsNoAction) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  const std::set<std::string> files = FilesIn(dir_);
  const std::string ini = dir_.Read("TolvenarConnector.ini");
  ASSERT_EQ(RunCheck(env_), 0) << env_.out;

  std::vector<std::string> seen;
  for (const HttpRequest& request : env_.http().Requests()) {
    seen.push_back(request.method + " " + request.url);
    EXPECT_EQ(request.body, "");
    for (const auto& [name, value] : request.headers) {
      EXPECT_NE(name, "X-Tolvenar-Connector") << "the secret never leaves for a check";
      EXPECT_THAT(value, Not(HasSubstr("s3cret")));
    }
  }
  EXPECT_THAT(seen, ::testing::UnorderedElementsAre("GET https://server.test/conn/",
                                                    "GET http://api.test:3001/health"));
  EXPECT_EQ(FilesIn(dir_), files) << "no log, no temporary file";
  EXPECT_EQ(dir_.Read("TolvenarConnector.ini"), ini);
}

struct FailureCase {
  const char* name;
  std::string section;  // the body of [Connector]
  const char* expected_line;
};

TEST_F(RunCheckTest, EachReasonAProfileWouldNotWorkGivesOneAndNamesIt) {
  const std::string cnpj = "CNPJ=1\r\n";
  const std::string api = std::string("APILocal=") + kApi + "\r\n";
  const std::string server = std::string("Servidor=") + kServer + "\r\n";
  const std::string secret = "ConnectorSecretEnc=" + Protected("s") + "\r\n";
  const std::vector<FailureCase> cases = {
      {"server down", "Servidor=https://down.test\r\n" + cnpj + api + secret,
       "  Servidor de conexao: FALHA: Error sending data: (7) Couldn't connect to server\r\n"},
      {"damaged secret", server + cnpj + api + "ConnectorSecretEnc=AAAA\r\n",
       "  Vinculacao: FALHA: segredo danificado, nao pode ser lido neste computador: System "
       "Error.  Code: 13"},
      {"no secret, no code", server + cnpj + api,
       "  Vinculacao: FALHA: nao vinculada e sem CodigoVinculacao\r\n"},
      {"local API down", server + cnpj + secret + "APILocal=http://127.0.0.1:9\r\n",
       "  API local: FALHA: Error sending data: (7) Couldn't connect to server\r\n"},
      {"local API unwell", server + cnpj + secret + "APILocal=http://sick.test\r\n",
       "  API local: FALHA: /health respondeu HTTP 503\r\n"},
      {"plain HTTP refused", "Servidor=HTTP://server.test/conn\r\n" + cnpj + api + secret,
       "  HTTP sem TLS: FALHA: recusado. Conexao HTTP recusada. Ative HTTPS ou "
       "PermitirHTTPInseguro apenas para homologacao.\r\n"
       "  Servidor de conexao: nao consultado (HTTP sem TLS recusado)\r\n"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    env_.out.clear();
    env_.http().ClearRequests();
    dir_.Write("TolvenarConnector.ini", Section("Connector", c.section));
    EXPECT_EQ(RunCheck(env_), 1) << env_.out;
    EXPECT_THAT(env_.out, HasSubstr(c.expected_line));
    EXPECT_THAT(env_.out,
                HasSubstr("  Resultado: FALHA\r\nResumo: 1 de 1 conexao ativa com falha."));
  }
  // The refused server is not even asked.
  for (const HttpRequest& request : env_.http().Requests()) {
    EXPECT_THAT(request.url, Not(HasSubstr("server.test")));
  }
}

TEST_F(RunCheckTest, PendingEnrollmentAndAllowedPlainHttpStillWork) {
  dir_.Write(
      "TolvenarConnector.ini",
      Section("Connector_A", std::string("Servidor=http://api.test:3001\r\nAPILocal=") + kApi +
                                 "\r\nCNPJ=2\r\nCodigoVinculacao=ab-1\r\n"
                                 "PermitirHTTPInseguro=1\r\nIntervaloConsultaMS=999\r\n"));
  env_.http().SetHandler([](const HttpRequest& request) -> HttpResponse {
    if (request.url == "http://api.test:3001/") return {200, {}, ""};
    return Peers(request);
  });
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  EXPECT_THAT(env_.out,
              HasSubstr("  Intervalo de consulta: 3000 ms\r\n"
                        "  Vinculacao: pendente; vinculara com o CodigoVinculacao informado\r\n"
                        "  HTTP sem TLS: permitido por PermitirHTTPInseguro, apenas para "
                        "homologacao\r\n"
                        "  Servidor de conexao: acessivel por HTTP sem TLS (HTTP 200)\r\n"));
}

TEST_F(RunCheckTest, SkippedSectionsAreShownWithTheirReasonAndDoNotCount) {
  dir_.Write("TolvenarConnector.ini",
             Section("Connector", Working()) + Section("Connector_Off", "Ativo=0\r\n" + Working()) +
                 Section("Connector_NoServer", "CNPJ=3\r\n") +
                 Section("Connector_NoCnpj", "Servidor=https://x.test\r\nCNPJ=a.b\r\n") +
                 Section("Connector_Empty", "") + Section("Other", Working()));
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("[Connector_Off]\r\n  Situacao: inativa (Ativo=0)\r\n"));
  EXPECT_THAT(env_.out, HasSubstr("[Connector_NoServer]\r\n  Situacao: ignorada: falta "
                                  "Servidor\r\n  Servidor: (vazio)\r\n"));
  EXPECT_THAT(env_.out, HasSubstr("[Connector_NoCnpj]\r\n  Situacao: ignorada: falta CNPJ\r\n"));
  EXPECT_THAT(env_.out,
              HasSubstr("[Connector_Empty]\r\n  Situacao: ignorada: falta Servidor e CNPJ\r\n"));
  EXPECT_THAT(env_.out, Not(HasSubstr("[Other]")));
  EXPECT_THAT(env_.out, HasSubstr("Resumo: 1 conexao ativa, pronta.\r\n"));
  EXPECT_EQ(env_.http().Requests().size(), 2u) << "only the active profile is looked at";
}

TEST_F(RunCheckTest, NoActiveProfileGivesOne) {
  const std::vector<std::pair<const char*, const char*>> files = {
      {"only inactive", "[Connector]\r\nAtivo=0\r\nServidor=https://x.test\r\nCNPJ=1\r\n"},
      {"no profile section", "[Geral]\r\nServidor=https://x.test\r\nCNPJ=1\r\n"},
      {"missing file", nullptr},
  };
  for (const auto& [name, ini] : files) {
    SCOPED_TRACE(name);
    env_.out.clear();
    std::filesystem::remove(dir_.path() / "TolvenarConnector.ini");
    if (ini != nullptr) dir_.Write("TolvenarConnector.ini", ini);
    EXPECT_EQ(RunCheck(env_), 1);
    EXPECT_THAT(env_.out, HasSubstr("Nenhuma conexao configurada em TolvenarConnector.ini.\r\n"));
    EXPECT_EQ(ini == nullptr, env_.out.find("Arquivo nao encontrado.") != std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "TolvenarConnector.ini"))
      << "a check creates no file";
}

TEST_F(RunCheckTest, PeerTextStaysOnItsLine) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  env_.http().SetHandler([](const HttpRequest& request) -> HttpResponse {
    if (request.url == "http://api.test:3001/health") {
      return {200, {}, "{\"version\":\"1.0\\r\\nResumo: tudo certo\"}"};
    }
    return Peers(request);
  });
  RunCheck(env_);
  EXPECT_THAT(env_.out,
              HasSubstr("  API local: /health respondeu, versao 1.0 Resumo: tudo certo\r\n"));
  EXPECT_THAT(env_.out, Not(HasSubstr("\nResumo: tudo certo")));
}

}  // namespace
}  // namespace tolvenar
