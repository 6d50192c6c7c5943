#include "diagnosis/profile_check.h"

#include <algorithm>
#include <exception>
#include <future>
#include <optional>

#include "base/text.h"
#include "config/cnpj.h"
#include "config/config.h"
#include "config/profile.h"
#include "connector/local_api_probe.h"
#include "connector/server_probe.h"
#include "connector/worker.h"
#include "diagnosis/log_history.h"
#include "env/data_protector.h"
#include "env/env.h"
#include "http/url.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {

using Clock = StopSignal::Clock;

constexpr const char* kFailure = "FALHA: ";
constexpr const char* kWarning = "AVISO: ";

// A value as shown: "(vazio)" for an empty one.
std::string Shown(std::string_view value) {
  return value.empty() ? std::string("(vazio)") : OneLineLoggableText(value);
}

// A look's clock: when it began, and the longest one of its requests may
// take (its response time-out, or the time to the deadline if shorter).
struct LookClock {
  LookClock(std::chrono::milliseconds limit, int response_timeout_ms)
      : started(Clock::now()),
        deadline(started + limit),
        request_bound(std::min(limit, std::chrono::milliseconds(response_timeout_ms))) {}

  // True when a failure came from running out of time rather than from the
  // peer: the request bound, or the deadline, was reached.
  bool RanOut() const {
    const Clock::time_point now = Clock::now();
    return now >= deadline || now - started >= request_bound - std::chrono::milliseconds(50);
  }
  // "sem resposta completa em N s (<message>)", N the seconds taken.
  std::string OutOfTime(std::string_view message) const {
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    return "sem resposta completa em " + std::to_string((took + 999) / 1000) + " s (" +
           OneLineLoggableText(message) + ")";
  }

  const Clock::time_point started;
  const Clock::time_point deadline;
  const std::chrono::milliseconds request_bound;
};

std::string SkipReason(const ProfileSectionReading& reading) {
  if (reading.inactive) return "inativa (Ativo=0)";
  if (reading.missing_server && reading.missing_cnpj) return "ignorada: falta Servidor e CNPJ";
  if (reading.missing_server) return "ignorada: falta Servidor";
  return "ignorada: falta CNPJ";
}

// Whether the worker could enroll or poll with what is stored. `enrolled`
// tells whether a secret is stored and reads.
bool CheckEnrollment(const TTolvenarConnectorProfile& profile, std::vector<std::string>& lines,
                     bool& enrolled) {
  enrolled = false;
  try {
    if (!profile.Secret().empty()) {
      enrolled = true;
      std::string line = "Vinculacao: vinculada";
      if (!profile.ConnectorID().empty()) {
        line += " (ConnectorID " + OneLineLoggableText(profile.ConnectorID()) + ")";
      }
      lines.push_back(line);
      return true;
    }
  } catch (const std::exception& e) {
    lines.push_back(
        std::string("Vinculacao: ") + kFailure +
        "segredo danificado, nao pode ser lido neste computador: " + OneLineLoggableText(e.what()));
    return false;
  }
  if (profile.EnrollmentCode().empty()) {
    lines.push_back(std::string("Vinculacao: ") + kFailure +
                    "nao vinculada e sem CodigoVinculacao");
    return false;
  }
  lines.push_back("Vinculacao: pendente; vinculara com o CodigoVinculacao informado");
  return true;
}

// The CNPJ as the connection server will judge it: 14 characters with
// their check digits. False when that fails the profile: only a pending
// profile, whose enrollment will be refused; an enrolled one is known to the
// server by its ConnectorID, so there it only warns.
bool CheckCNPJLine(const TTolvenarConnectorProfile& profile, std::vector<std::string>& lines) {
  const std::string& cnpj = profile.CNPJ();
  if (cnpj.empty()) return true;  // a dropped profile: its reason is said above
  const bool pending = profile.SecretEncrypted().empty();
  switch (CheckCNPJ(cnpj)) {
    case CNPJValidity::kValid:
      return true;
    case CNPJValidity::kWrongLength:
      lines.push_back(FillMessage(pending ? kMsgCnpjLengthPending : kMsgCnpjLengthEnrolled,
                                  {std::to_string(cnpj.size())}));
      break;
    case CNPJValidity::kWrongCheckDigits:
      lines.push_back(FillMessage(pending ? kMsgCnpjDigitsPending : kMsgCnpjDigitsEnrolled,
                                  {cnpj.substr(12), CNPJCheckDigits(cnpj)}));
      break;
  }
  return !pending;
}

// A secret the server issues must be protected before the file takes it:
// without that, an enrollment spends the code for nothing. An enrolled
// profile needs it only for a later enrollment, so there it only warns.
bool CheckProtection(Env& env, bool enrolled, std::vector<std::string>& lines) {
  try {
    env.Protector().CheckRoundTrip();
    lines.push_back("Protecao do segredo: funciona neste computador");
    return true;
  } catch (const std::exception& e) {
    if (enrolled) {
      lines.push_back(std::string("Protecao do segredo: ") + kWarning +
                      "um novo segredo nao poderia ser protegido neste computador: " +
                      OneLineLoggableText(e.what()));
      return true;
    }
    lines.push_back(std::string("Protecao do segredo: ") + kFailure +
                    "o segredo da vinculacao nao poderia ser protegido neste computador: " +
                    OneLineLoggableText(e.what()));
    return false;
  }
}

// Same scheme, host and port: the server URL leads to the local API.
bool SameOrigin(const std::string& a, const std::string& b) {
  const std::optional<HttpUrl> first = ParseHttpUrl(a);
  const std::optional<HttpUrl> second = ParseHttpUrl(b);
  return first && second && first->Origin() == second->Origin();
}

// What the worker would make of the poll action's answer to a request
// without a secret: a connection server refuses it.
std::string RefusalHint(int status) {
  if (status >= 200 && status <= 299) return "aceitou uma consulta sem credencial";
  if (status >= 500) return "servidor com erro ou indisponivel";
  if (status == 404 || status == 405 || status == 410 || (status >= 300 && status <= 399)) {
    return "caminho errado ou nao e o servidor de conexao";
  }
  return "resposta inesperada";
}

std::string CheckServer(Env& env, const TTolvenarConnectorProfile& profile,
                        std::chrono::milliseconds limit, bool& ok) {
  ok = false;
  const std::string prefix = "Servidor de conexao: ";
  if (SameOrigin(profile.ServerURL(), profile.LocalAPIURL())) {
    return prefix + kFailure + "Servidor leva a API local (APILocal), nao ao servidor de conexao";
  }
  const LookClock clock(limit, kServerResponseTimeoutMS);
  int status = 0;
  try {
    status = ProbeConnectionServer(env, profile.ServerURL(), clock.deadline);
  } catch (const std::exception& e) {
    return prefix + kFailure +
           (clock.RanOut() ? clock.OutOfTime(e.what()) : OneLineLoggableText(e.what()));
  }
  if (status != 401 && status != 403) {
    return prefix + kFailure + "api.php respondeu HTTP " + std::to_string(status) + " (" +
           RefusalHint(status) + ")";
  }
  ok = true;
  const bool tls = StartsWithAsciiNoCase(profile.ServerURL(), "https://");
  return prefix + "acessivel por " + (tls ? "HTTPS, certificado verificado" : "HTTP sem TLS") +
         "; api.php recusou a consulta sem credencial (HTTP " + std::to_string(status) +
         "), como esperado";
}

std::string CheckLocalAPI(Env& env, const TTolvenarConnectorProfile& profile,
                          std::chrono::milliseconds limit, bool& ok) {
  ok = false;
  const LookClock clock(limit, kHealthResponseTimeoutMS);
  LocalAPIHealth health;
  try {
    health = ProbeLocalAPIHealth(env, profile.LocalAPIURL(), nullptr, clock.deadline);
  } catch (const std::exception& e) {  // no HTTP client at all
    health.error = e.what();
  }
  if (!health.error.empty()) {
    std::string why = OneLineLoggableText(health.error);
    if (clock.RanOut()) {
      why = clock.OutOfTime(health.error);
    } else if (health.error.starts_with("Error reading data")) {
      why = "/health nao lida (resposta acima de " + std::to_string(kHealthMaxBodyBytes / 1024) +
            " KiB ou interrompida): " + why;
    }
    return std::string("API local: ") + kFailure + why;
  }
  if (health.status != 200) {
    return std::string("API local: ") + kFailure + "/health respondeu HTTP " +
           std::to_string(health.status);
  }
  ok = true;
  return "API local: /health respondeu, versao " + (health.version.empty()
                                                        ? std::string("nao informada")
                                                        : OneLineLoggableText(health.version));
}

}  // namespace

ProfileCheckResult CheckProfileSection(Env& env, const ProfileSectionReading& reading,
                                       const ProfileCheckLimits& limits) {
  ProfileCheckResult result;
  const TTolvenarConnectorProfile& profile = *reading.profile;
  std::vector<std::string>& lines = result.lines;
  result.active = reading.Usable();
  lines.push_back("Situacao: " + (result.active ? std::string("ativa") : SkipReason(reading)));
  lines.push_back("Servidor: " + Shown(profile.ServerURL()));
  lines.push_back("API local: " + Shown(profile.LocalAPIURL()));
  lines.push_back("CNPJ: " + Shown(profile.CNPJ()));
  const bool cnpj_ok = CheckCNPJLine(profile, lines);
  lines.push_back("Intervalo de consulta: " + std::to_string(profile.PollIntervalMS()) + " ms");
  if (!result.active) return result;

  bool enrolled = false;
  bool ready = CheckEnrollment(profile, lines, enrolled) && cnpj_ok;
  ready = CheckProtection(env, enrolled, lines) && ready;

  // The local API is looked at while the server answers.
  bool local_ok = false;
  std::future<std::string> local_line = std::async(
      std::launch::async, [&] { return CheckLocalAPI(env, profile, limits.local_api, local_ok); });
  if (TTolvenarConnectorWorker::RefusesServer(profile)) {
    lines.push_back(std::string("HTTP sem TLS: ") + kFailure + "recusado. " +
                    TTolvenarConnectorWorker::kInsecureRefusedMessage);
    lines.push_back("Servidor de conexao: nao consultado (HTTP sem TLS recusado)");
    ready = false;
  } else {
    if (StartsWithAsciiNoCase(profile.ServerURL(), "https://")) {
      lines.push_back("HTTP sem TLS: nao usado (HTTPS)");
    } else {
      lines.push_back("HTTP sem TLS: permitido por PermitirHTTPInseguro, apenas para homologacao");
    }
    bool server_ok = false;
    lines.push_back(CheckServer(env, profile, limits.server, server_ok));
    ready = server_ok && ready;
  }
  lines.push_back(local_line.get());
  ready = local_ok && ready;

  // What the log says of the recent past: a poll refused a moment ago fails
  // the profile even though every probe above answered.
  const RecentActivity recent =
      CheckRecentActivity(env, profile, !profile.SecretEncrypted().empty());
  lines.insert(lines.end(), recent.lines.begin(), recent.lines.end());
  ready = ready && !recent.failing;

  lines.push_back(ready ? "Resultado: pronta" : "Resultado: FALHA");
  result.ready = ready;
  return result;
}

}  // namespace tolvenar
