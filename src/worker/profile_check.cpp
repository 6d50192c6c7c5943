#include "worker/profile_check.h"

#include <exception>

#include "config/config.h"
#include "config/profile.h"
#include "platform/text.h"
#include "protocol/server_probe.h"
#include "relay/local_api_probe.h"
#include "worker/log_history.h"
#include "worker/worker.h"

namespace tolvenar {

namespace {

constexpr const char* kFailure = "FALHA: ";

// A message on one report line: runs of control characters (an operating
// system's CR LF) become one blank.
std::string OneLine(std::string_view text) {
  std::string line;
  bool in_control = false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      in_control = true;
      continue;
    }
    if (in_control && !line.empty()) line.push_back(' ');
    in_control = false;
    line.push_back(c);
  }
  return LoggableText(line, 500);
}

// A value as shown: "(vazio)" for an empty one.
std::string Shown(std::string_view value) {
  return value.empty() ? std::string("(vazio)") : OneLine(value);
}

std::string SkipReason(const ProfileSectionReading& reading) {
  if (reading.inactive) return "inativa (Ativo=0)";
  if (reading.missing_server && reading.missing_cnpj) return "ignorada: falta Servidor e CNPJ";
  if (reading.missing_server) return "ignorada: falta Servidor";
  return "ignorada: falta CNPJ";
}

// Whether the worker could enroll or poll with what is stored.
bool CheckEnrollment(const TTolvenarConnectorProfile& profile, std::vector<std::string>& lines) {
  try {
    if (!profile.Secret().empty()) {
      std::string line = "Vinculacao: vinculada";
      if (!profile.ConnectorID().empty()) {
        line += " (ConnectorID " + OneLine(profile.ConnectorID()) + ")";
      }
      lines.push_back(line);
      return true;
    }
  } catch (const std::exception& e) {
    lines.push_back(std::string("Vinculacao: ") + kFailure +
                    "segredo danificado, nao pode ser lido neste computador: " + OneLine(e.what()));
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

bool CheckServer(Env& env, const TTolvenarConnectorProfile& profile,
                 std::vector<std::string>& lines) {
  const bool tls = StartsWithAsciiNoCase(profile.ServerURL(), "https://");
  try {
    const int status = ProbeConnectionServer(env, profile.ServerURL());
    lines.push_back(std::string("Servidor de conexao: acessivel por ") +
                    (tls ? "HTTPS, certificado verificado" : "HTTP sem TLS") + " (HTTP " +
                    std::to_string(status) + ")");
    return true;
  } catch (const std::exception& e) {
    lines.push_back(std::string("Servidor de conexao: ") + kFailure + OneLine(e.what()));
    return false;
  }
}

bool CheckLocalAPI(Env& env, const TTolvenarConnectorProfile& profile,
                   std::vector<std::string>& lines) {
  LocalAPIHealth health;
  try {
    health = ProbeLocalAPIHealth(env, profile.LocalAPIURL(), nullptr);
  } catch (const std::exception& e) {  // no HTTP client at all
    health.error = e.what();
  }
  if (!health.error.empty()) {
    lines.push_back(std::string("API local: ") + kFailure + OneLine(health.error));
    return false;
  }
  if (health.status != 200) {
    lines.push_back(std::string("API local: ") + kFailure + "/health respondeu HTTP " +
                    std::to_string(health.status));
    return false;
  }
  lines.push_back("API local: /health respondeu, versao " + (health.version.empty()
                                                                 ? std::string("nao informada")
                                                                 : OneLine(health.version)));
  return true;
}

}  // namespace

ProfileCheckResult CheckProfileSection(Env& env, const ProfileSectionReading& reading) {
  ProfileCheckResult result;
  const TTolvenarConnectorProfile& profile = *reading.profile;
  std::vector<std::string>& lines = result.lines;
  result.active = reading.Usable();
  lines.push_back("Situacao: " + (result.active ? std::string("ativa") : SkipReason(reading)));
  lines.push_back("Servidor: " + Shown(profile.ServerURL()));
  lines.push_back("API local: " + Shown(profile.LocalAPIURL()));
  lines.push_back("CNPJ: " + Shown(profile.CNPJ()));
  lines.push_back("Intervalo de consulta: " + std::to_string(profile.PollIntervalMS()) + " ms");
  if (!result.active) return result;

  bool ready = CheckEnrollment(profile, lines);
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
    ready = CheckServer(env, profile, lines) && ready;
  }
  ready = CheckLocalAPI(env, profile, lines) && ready;

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
