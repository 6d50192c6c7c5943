// The check mode of both executables against the reference servers: what
// it finds, its exit code, and that it writes nothing and spends nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"
#include "support/connector_e2e.h"
#include "support/raw_http_server.h"
#include "support/tls_test_server.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using testing::Eventually;
using ::testing::HasSubstr;
using testing::IniSection;
using testing::IniValue;
using testing::RawReply;
using testing::RawRequest;
using testing::WithIniValue;
using tools::ConnectionServer;
using tools::RecordedRequest;
using tools::SampleLocalApi;

constexpr const char* kCnpj = "12345678000195";
constexpr const char* kCode = "AB-12CD";
// Nothing listens on the discard port.
constexpr const char* kNobody = "http://127.0.0.1:9";

class CheckE2ETest : public testing::ConnectorE2ETest {
 protected:
  testing::ProcessResult Check() {
    return testing::RunProcess(
        GetParam().Command(dir_, {"/Check"}), dir_.Dir(), "",
        std::chrono::duration_cast<std::chrono::milliseconds>(testing::kE2ELimit));
  }
  bool HasLog() const { return std::filesystem::exists(dir_.path() / "TolvenarConnector.log"); }
};

TEST_P(CheckE2ETest, APendingEnrollmentPassesWithoutSpendingTheCode) {
  SampleLocalApi api(tools::ListenOptions{}, "7.3.0");
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode));
  const std::string ini = Ini();

  const testing::ProcessResult r = Check();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_THAT(r.out, HasSubstr("  Vinculacao: pendente; vinculara com o CodigoVinculacao "
                               "informado\r\n"));
  EXPECT_THAT(r.out, HasSubstr("  API local: /health respondeu, versao 7.3.0\r\n"));
  EXPECT_THAT(r.out, HasSubstr("Resumo: 1 conexao ativa, pronta.\r\n"));

  EXPECT_THAT(r.out, HasSubstr("  Servidor de conexao: acessivel por HTTP sem TLS; api.php "
                               "recusou a consulta sem credencial (HTTP 401), como esperado\r\n"));
  EXPECT_TRUE(server.Enrollments().empty());
  ASSERT_EQ(server.Requests().size(), 1u) << Explain(server);
  EXPECT_EQ(server.Requests()[0].method, "POST");
  EXPECT_EQ(server.Requests()[0].target, "/api.php?action=connector-poll");
  EXPECT_FALSE(server.Requests()[0].HasHeader("X-Tolvenar-Connector"));
  EXPECT_EQ(Ini(), ini);
  EXPECT_FALSE(HasLog()) << Log();
}

TEST_P(CheckE2ETest, AnEnrolledProfilePassesThenEachFaultFailsIt) {
  SampleLocalApi api(tools::ListenOptions{}, "7.3.0");
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  WriteIni(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode));
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  Stop();
  const std::string enrolled = Ini();
  const std::string log = Log();
  const std::string stored = IniValue(enrolled, "Connector", "ConnectorSecretEnc").value_or("");
  ASSERT_GT(stored.size(), 20u) << enrolled;
  const size_t requests_before = server.Requests().size();

  testing::ProcessResult r = Check();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("  Vinculacao: vinculada (ConnectorID " +
                               server.Enrollments().at(0).connector_id + ")\r\n"));
  EXPECT_THAT(r.out, HasSubstr("  HTTP sem TLS: permitido por PermitirHTTPInseguro"));
  EXPECT_THAT(r.out, HasSubstr("  Servidor de conexao: acessivel por HTTP sem TLS; api.php "
                               "recusou a consulta sem credencial (HTTP 401), como esperado"));
  EXPECT_THAT(r.out, HasSubstr("  Resultado: pronta\r\n"));
  const std::vector<RecordedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), requests_before + 1) << Explain(server);
  EXPECT_EQ(requests.back().target, "/api.php?action=connector-poll");
  EXPECT_FALSE(requests.back().HasHeader("X-Tolvenar-Connector"));

  // Cut in half, as a damaged file would be. (A changed byte would do on
  // Windows and Linux, whose protection checks integrity; Wine's DPAPI
  // returns garbage for it without an error.)
  const std::string damaged = stored.substr(0, stored.size() / 2);
  const std::unique_ptr<testing::TlsTestServer> tls = testing::StartTlsTestServer(
      [](const std::string&, const std::string&) { return testing::TlsAnswer{}; });
  struct Fault {
    const char* name;
    std::string key, value;
    std::string line;
  };
  std::vector<Fault> faults = {
      {"server down", "Servidor", kNobody, "  Servidor de conexao: FALHA: Error sending data: ("},
      {"damaged secret", "ConnectorSecretEnc", damaged,
       "  Vinculacao: FALHA: segredo danificado, nao pode ser lido neste computador: "},
      {"local API down", "APILocal", kNobody, "  API local: FALHA: Error sending data: ("},
      {"plain HTTP refused", "PermitirHTTPInseguro", "0",
       "  HTTP sem TLS: FALHA: recusado. Conexao HTTP recusada."},
  };
  if (tls) {
    // Wine's secure channel reports an untrusted chain as a channel error;
    // Windows and curl name the certificate.
    faults.push_back({"certificate not trusted", "Servidor", tls->Url(""),
                      GetParam().under_wine
                          ? "  Servidor de conexao: FALHA: Error sending data: (12157) "
                          : "  Servidor de conexao: FALHA: Server Certificate Invalid or not "
                            "present\r\n"});
  }
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    const std::string ini = WithIniValue(enrolled, fault.key, fault.value);
    WriteIni(ini);
    r = Check();
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(fault.line)) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Resumo: 1 de 1 conexao ativa com falha.\r\n"));
    EXPECT_EQ(Ini(), ini);
  }
  EXPECT_EQ(Log(), log) << "a check logs nothing";
  EXPECT_EQ(server.Enrollments().size(), 1u);
  for (const RecordedRequest& request : server.Requests()) {
    EXPECT_TRUE(request.target == "/" || request.target.rfind("/api.php?action=", 0) == 0);
  }
  EXPECT_EQ(server.Requests().size(), requests_before + 3) << "healthy server probes only";
}

// What the worker would fail with fails the check, whatever the server's
// root says; what the worker works with passes.
TEST_P(CheckE2ETest, TheServerIsJudgedWhereTheWorkerTalksToIt) {
  SampleLocalApi api(tools::ListenOptions{}, "7.3.0");
  ConnectionServer server;
  // A server whose root sends visitors elsewhere, with a working action URL.
  testing::RawHttpServer elsewhere([](const RawRequest& request) {
    if (request.target == "/api.php?action=connector-poll") {
      return RawReply::Answer(401, {}, "{\"error\":\"Connector nao autorizado.\"}");
    }
    return RawReply::Answer(302, {{"Location", "http://www.example.com/"}});
  });
  struct Case {
    const char* name;
    std::string servidor;
    int poll_status;  // the reference server's simulated poll answer, 0 for none
    std::string line;
  };
  const std::vector<Case> cases = {
      {"wrong path", server.BaseURL() + "/loja", 0,
       "  Servidor de conexao: FALHA: api.php respondeu HTTP 404 (caminho errado ou nao e o "
       "servidor de conexao)\r\n"},
      {"unavailable", server.BaseURL(), 503,
       "  Servidor de conexao: FALHA: api.php respondeu HTTP 503 (servidor com erro ou "
       "indisponivel)\r\n"},
      {"the local API as server", api.BaseURL(), 0,
       "  Servidor de conexao: FALHA: Servidor leva a API local (APILocal), nao ao servidor de "
       "conexao\r\n"},
      {"root elsewhere", elsewhere.Url(""), 0,
       "  Servidor de conexao: acessivel por HTTP sem TLS; api.php recusou a consulta sem "
       "credencial (HTTP 401), como esperado\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.SetPollStatus(c.poll_status);
    WriteIni(IniSection("Connector", c.servidor, api.BaseURL(), "12ABC34501DE35", kCode));
    const testing::ProcessResult r = Check();
    EXPECT_THAT(r.out, HasSubstr(c.line)) << r.out;
    EXPECT_THAT(r.out, Not(HasSubstr("  CNPJ: FALHA")));
    EXPECT_EQ(r.exit_code, c.line.find("FALHA") == std::string::npos ? 0 : 1) << r.out;
  }
  EXPECT_TRUE(server.Enrollments().empty());
}

// Each look ends by its deadline however slowly the peer trickles, and a
// "/health" is read only a few KiB far.
TEST_P(CheckE2ETest, ALocalAPIThatTricklesOrFloodsIsCutShort) {
  ConnectionServer server;
  testing::RawHttpServer api([](const RawRequest& request) {
    if (request.target == "/trickle/health") {
      RawReply reply;
      reply.pieces.push_back({"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 0});
      for (int i = 0; i < 150; ++i) reply.pieces.push_back({"{", 1000});
      return reply;
    }
    if (request.target == "/announced/health") {
      return RawReply::Answer(
          200, {}, "{\"version\":\"1\",\"x\":\"" + std::string(size_t{4} << 20, 'x') + "\"}");
    }
    // No length announced: the body runs until the connection closes.
    return RawReply::Bytes(
        "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"version\":\"1\",\"x\":\"" +
        std::string(size_t{4} << 20, 'x') + "\"}");
  });
  struct Case {
    const char* name;
    std::string path;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"trickling", "/trickle", "  API local: FALHA: sem resposta completa em "},
      {"announced flood", "/announced",
       "  API local: FALHA: /health nao lida (resposta acima de 8 KiB"},
      {"unannounced flood", "/unannounced",
       "  API local: FALHA: /health nao lida (resposta acima de 8 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteIni(IniSection("Connector", server.BaseURL(), api.Url(c.path), kCnpj, kCode));
    const auto started = std::chrono::steady_clock::now();
    const testing::ProcessResult r = Check();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.line)) << r.out;
    // The peer would go on for 150 s; the look ends within 10 s, plus a Wine
    // start.
    EXPECT_LT(took, std::chrono::seconds(45));
  }
}

// A connector revoked on the server: every poll is answered 403 while the
// server's folder and the local API answer as usual. The check, run beside
// the working service, reads the service's log and fails the profile.
TEST_P(CheckE2ETest, ARevokedConnectorFailsWithTheLogsLine) {
  SampleLocalApi api(tools::ListenOptions{}, "7.3.0");
  ConnectionServer server;
  server.AcceptCode(kCnpj, kCode);
  // Three intervals (6 s) leave room for a slow start of the check.
  WriteIni(WithIniValue(IniSection("Connector", server.BaseURL(), api.BaseURL(), kCnpj, kCode),
                        "IntervaloConsultaMS", "2000"));
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Eventually([&] { return !server.Requests("connector-poll").empty(); }))
      << Explain(server);
  server.SetPollStatus(403);
  ASSERT_TRUE(Eventually([&] {
    return LoggedCount(kCnpj, "Servidor de conexao respondeu HTTP 403.") > 0;
  })) << Log();

  const testing::ProcessResult r = Check();
  Stop();
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_THAT(
      r.out,
      HasSubstr("  Servidor de conexao: acessivel por HTTP sem TLS; api.php recusou a consulta "
                "sem credencial (HTTP 403), como esperado\r\n"));
  EXPECT_THAT(r.out, HasSubstr("  API local: /health respondeu, versao 7.3.0\r\n"));
  EXPECT_THAT(r.out, HasSubstr("  Atividade recente (TolvenarConnector.log):\r\n"));
  EXPECT_THAT(r.out, HasSubstr(": Vinculacao concluida com sucesso.\r\n"));
  EXPECT_THAT(r.out, HasSubstr("  Atividade recente: FALHA: ultima entrada, ha "));
  EXPECT_THAT(r.out, HasSubstr(" s: Servidor de conexao respondeu HTTP 403.\r\n"
                               "  Resultado: FALHA\r\n"
                               "Resumo: 1 de 1 conexao ativa com falha.\r\n"
                               "Guia de operacao: "));
  EXPECT_THAT(r.out, HasSubstr("LEIAME.txt\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Executables, CheckE2ETest,
                         ::testing::ValuesIn(testing::ConnectorTargets()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tolvenar
