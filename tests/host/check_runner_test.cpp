// The check mode: one report line per finding, exit code 0 only when every
// active profile would work, and nothing written or spent on the server.
#include "host/check_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/version.h"
#include "config/config.h"
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

constexpr const char* kPollAction = "https://server.test/conn/api.php?action=connector-poll";

// The connection server refuses a poll without a secret, as it must; its
// folder itself is no page. The local API answers its health. Anything
// else (another host or port) cannot be reached.
HttpResponse Peers(const HttpRequest& request) {
  if (request.url == kPollAction) {
    const bool with_secret = FindHeader(request.headers, "X-Tolvenar-Connector") != nullptr;
    return {with_secret ? 204 : 401, {}, with_secret ? "" : "{\"error\":\"nao autorizado\"}"};
  }
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
  const std::string expected = std::string("Tolvenar Connector ") + kConnectorVersion +
                               ": verificacao de " + dir_.Dir() +
                               "TolvenarConnector.ini\r\n"
                               "[Connector]\r\n"
                               "  Situacao: ativa\r\n"
                               "  Servidor: https://server.test/conn\r\n"
                               "  API local: http://api.test:3001\r\n"
                               "  CNPJ: 12345678000195\r\n"
                               "  Intervalo de consulta: 3000 ms\r\n"
                               "  Vinculacao: vinculada (ConnectorID c-9)\r\n"
                               "  Protecao do segredo: funciona neste computador\r\n"
                               "  HTTP sem TLS: nao usado (HTTPS)\r\n"
                               "  Servidor de conexao: acessivel por HTTPS, certificado "
                               "verificado; api.php recusou a consulta sem credencial (HTTP "
                               "401), como esperado\r\n"
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

TEST_F(RunCheckTest, LooksWithoutCredentialsAndSpendsNothing) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  const std::set<std::string> files = FilesIn(dir_);
  const std::string ini = dir_.Read("TolvenarConnector.ini");
  ASSERT_EQ(RunCheck(env_), 0) << env_.out;

  std::vector<std::string> seen;
  for (const HttpRequest& request : env_.http().Requests()) {
    seen.push_back(request.method + " " + request.url + " " + request.body);
    for (const auto& [name, value] : request.headers) {
      EXPECT_NE(name, "X-Tolvenar-Connector") << "the secret never leaves for a check";
      EXPECT_THAT(value, Not(HasSubstr("s3cret")));
    }
  }
  // A poll without a secret: no code to spend, and no server hands a
  // command to a connector it cannot name.
  EXPECT_THAT(seen, ::testing::UnorderedElementsAre(std::string("POST ") + kPollAction + " {}",
                                                    "GET http://api.test:3001/health "));
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
  dir_.Write("TolvenarConnector.ini",
             Section("Connector_A", std::string("Servidor=http://plain.test\r\nAPILocal=") + kApi +
                                        "\r\nCNPJ=12ABC34501DE35\r\nCodigoVinculacao=ab-1\r\n"
                                        "PermitirHTTPInseguro=1\r\nIntervaloConsultaMS=999\r\n"));
  env_.http().SetHandler([](const HttpRequest& request) -> HttpResponse {
    if (request.url == "http://plain.test/api.php?action=connector-poll") return {403, {}, ""};
    return Peers(request);
  });
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  EXPECT_THAT(env_.out,
              HasSubstr("  Intervalo de consulta: 3000 ms\r\n"
                        "  Vinculacao: pendente; vinculara com o CodigoVinculacao informado\r\n"
                        "  Protecao do segredo: funciona neste computador\r\n"
                        "  HTTP sem TLS: permitido por PermitirHTTPInseguro, apenas para "
                        "homologacao\r\n"
                        "  Servidor de conexao: acessivel por HTTP sem TLS; api.php recusou a "
                        "consulta sem credencial (HTTP 403), como esperado\r\n"));
}

TEST_F(RunCheckTest, SkippedSectionsAreShownWithTheirReasonAndDoNotCount) {
  dir_.Write("TolvenarConnector.ini",
             Section("Connector", Working()) + Section("Connector_Off", "Ativo=0\r\n" + Working()) +
                 Section("Connector_NoServer", "CNPJ=3\r\n") +
                 Section("Connector_NoCnpj", "Servidor=https://x.test\r\nCNPJ=./- \xC3\x87\r\n") +
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

// A file that is there and was not read is reported as the service's start
// would report it, not as a file without profiles.
TEST_F(RunCheckTest, AFileThatWasNotReadSaysWhy) {
  const std::string ini = dir_.File("TolvenarConnector.ini");
  dir_.Write("TolvenarConnector.ini",
             Section("Connector", Working()) + ";" + std::string(1024 * 1024, 'x'));
  EXPECT_EQ(RunCheck(env_), 1);
  EXPECT_THAT(env_.out, HasSubstr("\r\nArquivo " + ini + " maior que 1 MiB ("));
  EXPECT_THAT(env_.out, HasSubstr(" bytes): nao foi lido.\r\n"));
  EXPECT_THAT(env_.out, Not(HasSubstr("Nenhuma conexao configurada")));
  EXPECT_THAT(env_.out, Not(HasSubstr("[Connector]")));
  EXPECT_TRUE(env_.http().Requests().empty());

  class UnreadableEnv : public CheckEnv {
   public:
    using CheckEnv::CheckEnv;
    using CheckEnv::ReadFile;
    FileRead ReadFile(const std::string&, uint64_t, std::string*) override {
      FileRead read;
      read.error = "Permission denied";
      return read;
    }
  } unreadable(dir_.Dir());
  EXPECT_EQ(RunCheck(unreadable), 1);
  EXPECT_THAT(unreadable.out,
              HasSubstr("\r\nNao foi possivel ler " + ini + ": Permission denied\r\n"));
  EXPECT_THAT(unreadable.out, Not(HasSubstr("Nenhuma conexao configurada")));
}

// Characters a terminal acts on (U+009B) or that show text reordered
// (U+202E) are folded like the log folds them.
TEST_F(RunCheckTest, PeerTextLosesC1AndBidiControls) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  env_.http().SetHandler([](const HttpRequest& request) -> HttpResponse {
    if (request.url == "http://api.test:3001/health") {
      return {200, {}, "{\"version\":\"1.0\\u009b2J\\u202eok\"}"};
    }
    return Peers(request);
  });
  RunCheck(env_);
  EXPECT_THAT(env_.out, HasSubstr("  API local: /health respondeu, versao 1.0?2J?ok\r\n"));
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

// The server is judged where the worker talks to it and by what the worker
// would make of it, not by whether its root page answers.
TEST_F(RunCheckTest, TheServerIsJudgedByItsActionURLAsTheWorkerWould) {
  struct ServerCase {
    const char* name;
    std::string servidor;
    int action_status;  // what api.php answers a poll without a secret
    const char* expected_line;
  };
  const std::vector<ServerCase> cases = {
      {"wrong path", "https://server.test/wrong", 404,
       "  Servidor de conexao: FALHA: api.php respondeu HTTP 404 (caminho errado ou nao e o "
       "servidor de conexao)\r\n"},
      {"server unavailable", "https://server.test/conn", 503,
       "  Servidor de conexao: FALHA: api.php respondeu HTTP 503 (servidor com erro ou "
       "indisponivel)\r\n"},
      {"anything goes", "https://server.test/conn", 200,
       "  Servidor de conexao: FALHA: api.php respondeu HTTP 200 (aceitou uma consulta sem "
       "credencial)\r\n"},
      {"the local API itself", "http://api.test:3001", 404,
       "  Servidor de conexao: FALHA: Servidor leva a API local (APILocal), nao ao servidor de "
       "conexao\r\n"},
  };
  for (const ServerCase& c : cases) {
    SCOPED_TRACE(c.name);
    env_.out.clear();
    const int status = c.action_status;
    env_.http().SetHandler([status](const HttpRequest& request) -> HttpResponse {
      if (request.url.ends_with("/api.php?action=connector-poll")) return {status, {}, ""};
      // The root answers as happily as a web site would.
      if (request.url.starts_with("https://server.test/")) return {200, {}, "<html></html>"};
      return Peers(request);
    });
    // The first Servidor of the section wins: put the case's one first.
    dir_.Write("TolvenarConnector.ini",
               Section("Connector",
                       "Servidor=" + c.servidor + "\r\nPermitirHTTPInseguro=1\r\n" + Working()));
    EXPECT_EQ(RunCheck(env_), 1) << env_.out;
    EXPECT_THAT(env_.out, HasSubstr(c.expected_line));
  }
}

// A root that sends visitors elsewhere says nothing about the action URL,
// where a same-origin redirect is followed as the worker follows it.
TEST_F(RunCheckTest, ARootRedirectingElsewhereDoesNotMatterWhileTheActionWorks) {
  env_.http().SetHandler([](const HttpRequest& request) -> HttpResponse {
    if (request.url == "https://server.test/conn/") {
      return {302, {{"Location", "https://www.elsewhere.test/"}}, ""};
    }
    if (request.url == kPollAction) {
      return {307, {{"Location", "/v2/api.php?action=connector-poll"}}, ""};
    }
    if (request.url == "https://server.test/v2/api.php?action=connector-poll") {
      return {401, {}, ""};
    }
    return Peers(request);
  });
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  EXPECT_EQ(RunCheck(env_), 0) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("recusou a consulta sem credencial (HTTP 401), como esperado"));
}

// Each look has an overall deadline: the time-outs handed to the transport
// never pass it, the transport is told to end the request by then however
// the peer trickles, and no further request starts after it.
TEST_F(RunCheckTest, EachLookEndsByItsDeadlineWhateverThePeerDoes) {
  struct Seen {
    std::string url;
    // How long the request had left when it reached the transport.
    std::optional<std::chrono::steady_clock::duration> left;
    int connect_timeout_ms, response_timeout_ms;
  };
  std::mutex mutex;
  std::vector<Seen> seen;
  env_.http().SetHandler([&](const HttpRequest& request) -> HttpResponse {
    {
      std::lock_guard<std::mutex> lock(mutex);
      std::optional<std::chrono::steady_clock::duration> left;
      if (request.deadline) left = *request.deadline - std::chrono::steady_clock::now();
      seen.push_back({request.url, left, request.connect_timeout_ms, request.response_timeout_ms});
    }
    // A peer that takes longer than the deadline, then redirects within its
    // origin: the redirect is never followed.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (request.url == kPollAction) return {307, {{"Location", "/conn/api.php?x=1"}}, ""};
    if (request.url == "http://api.test:3001/health") {
      return {307, {{"Location", "/health2"}}, ""};
    }
    return {401, {}, ""};
  });
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  const ProfileCheckLimits limits{std::chrono::milliseconds(300), std::chrono::milliseconds(200)};
  EXPECT_EQ(RunCheck(env_, limits), 1) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("  Servidor de conexao: FALHA: sem resposta completa em 1 s ("));
  EXPECT_THAT(env_.out, HasSubstr("  API local: FALHA: sem resposta completa em 1 s ("));
  ASSERT_EQ(seen.size(), 2u) << "no request after a deadline";
  for (const Seen& request : seen) {
    SCOPED_TRACE(request.url);
    ASSERT_TRUE(request.left.has_value()) << "the transport ends it by a deadline";
    EXPECT_LE(*request.left, std::chrono::milliseconds(request.response_timeout_ms))
        << "the transport ends it a time-out after its start";
    EXPECT_LE(request.response_timeout_ms, 300);
    EXPECT_LE(request.connect_timeout_ms, 300);
  }
}

// A "/health" is read only so far: a version needs a few bytes.
TEST_F(RunCheckTest, ReadsOnlyAFewKilobytesOfEachAnswer) {
  dir_.Write("TolvenarConnector.ini", Section("Connector", Working()));
  ASSERT_EQ(RunCheck(env_), 0) << env_.out;
  for (const HttpRequest& request : env_.http().Requests()) {
    SCOPED_TRACE(request.url);
    EXPECT_LE(request.max_body_bytes, size_t{64} << 10);
    if (request.url.ends_with("/health")) {
      EXPECT_LE(request.max_body_bytes, size_t{8} << 10);
    }
  }
}

// The worker protects an issued secret before storing it: a machine where
// that fails would spend the code for nothing.
TEST_F(RunCheckTest, ASecretThatCannotBeProtectedFailsAPendingEnrollment) {
  dir_.Write(
      "TolvenarConnector.ini",
      Section("Connector_Pending", std::string("Servidor=") + kServer + "\r\nAPILocal=" + kApi +
                                       "\r\nCNPJ=12345678000195\r\n"
                                       "CodigoVinculacao=AB-12\r\n") +
          Section("Connector_Enrolled", Working()));
  env_.protector().FailProtect(true);
  EXPECT_EQ(RunCheck(env_), 1) << env_.out;
  EXPECT_THAT(env_.out, HasSubstr("[Connector_Pending]\r\n"));
  EXPECT_THAT(env_.out,
              HasSubstr("  Protecao do segredo: FALHA: o segredo da vinculacao nao poderia ser "
                        "protegido neste computador: System Error.  Code: 13. Permission "
                        "denied\r\n"));
  // An enrolled profile already has its secret: the worker protects nothing.
  EXPECT_THAT(env_.out, HasSubstr("  Protecao do segredo: AVISO: um novo segredo nao poderia ser "
                                  "protegido neste computador: "));
  EXPECT_THAT(env_.out, HasSubstr("Resumo: 1 de 2 conexoes ativas com falha.\r\n"));
}

// A CNPJ the server will not take: 14 characters with their check digits,
// numeric or alphanumeric. A pending profile's enrollment would be refused,
// so it fails; an enrolled one is known by its ConnectorID, so it warns.
TEST_F(RunCheckTest, ACnpjIsJudgedByLengthAndCheckDigits) {
  const std::string pending =
      std::string("Servidor=") + kServer + "\r\nAPILocal=" + kApi + "\r\nCodigoVinculacao=ab-1\r\n";
  const std::string enrolled = Working();
  struct Case {
    const char* cnpj;
    bool is_pending;
    const char* shown;
    const char* judged;  // "" when the CNPJ passes
  };
  const Case cases[] = {
      {"12.345.678/0001-95", true, "12345678000195", ""},
      {"12.abc.345/01de-35", true, "12ABC34501DE35", ""},
      {"12.ABC.345/01DE-35", false, "12ABC34501DE35", ""},
      {"1.2-3", true, "123",
       "CNPJ: FALHA: 3 caracteres; um CNPJ tem 14. O servidor de conexao recusara a vinculacao."},
      {"1.2-3", false, "123",
       "CNPJ: AVISO: 3 caracteres; um CNPJ tem 14. A conexao ja vinculada segue pelo "
       "ConnectorID."},
      {"12.345.678/0001-90", true, "12345678000190",
       "CNPJ: FALHA: digitos verificadores errados (90; pelo calculo, 95). O servidor de "
       "conexao recusara a vinculacao."},
      {"12ABC34501DE53", false, "12ABC34501DE53",
       "CNPJ: AVISO: digitos verificadores errados (53; pelo calculo, 35). A conexao ja "
       "vinculada segue pelo ConnectorID."},
      {"12ABC34501DE3E", true, "12ABC34501DE3E",
       "CNPJ: FALHA: digitos verificadores errados (3E; pelo calculo, 35). O servidor de "
       "conexao recusara a vinculacao."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cnpj) + (c.is_pending ? " pending" : " enrolled"));
    env_.out.clear();
    dir_.Write("TolvenarConnector.ini",
               Section("Connector", std::string("CNPJ=") + c.cnpj + "\r\n" +
                                        (c.is_pending ? pending : enrolled)));
    const bool fails = std::string(c.judged).find("FALHA") != std::string::npos;
    EXPECT_EQ(RunCheck(env_), fails ? 1 : 0) << env_.out;
    const std::string shown = std::string("  CNPJ: ") + c.shown + "\r\n";
    if (*c.judged == '\0') {
      EXPECT_THAT(env_.out, HasSubstr(shown + "  Intervalo de consulta:")) << env_.out;
    } else {
      EXPECT_THAT(env_.out, HasSubstr(shown + "  " + c.judged + "\r\n"));
    }
    EXPECT_THAT(env_.out, HasSubstr(fails ? "  Resultado: FALHA\r\n" : "  Resultado: pronta\r\n"));
  }
}

// Names and values from the file are printed as log lines are: no control
// character of theirs reaches the terminal.
TEST_F(RunCheckTest, TextFromTheFileStaysOnItsLine) {
  const std::string forged = "\r\x1b[2KResumo: 1 conexao ativa, pronta.";
  dir_.Write("TolvenarConnector.ini",
             "[Connector_a" + forged + "]\r\nServidor=https://down.test\r\nCNPJ=1\r\n");
  EXPECT_EQ(RunCheck(env_), 1);
  EXPECT_THAT(env_.out, Not(HasSubstr("\x1b")));
  EXPECT_THAT(env_.out, Not(HasSubstr("\rResumo: 1 conexao ativa")));
  EXPECT_THAT(env_.out, HasSubstr("[Connector_a [2KResumo: 1 conexao ativa, pronta.]\r\n"));
  EXPECT_THAT(env_.out, HasSubstr("Resumo: 1 de 1 conexao ativa com falha.\r\n"));
}

}  // namespace
}  // namespace tolvenar
