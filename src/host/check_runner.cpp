#include "host/check_runner.h"

#include <future>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/version.h"
#include "config/config.h"
#include "diagnosis/profile_check.h"
#include "env/env.h"
#include "env/guide_path.h"
#include "env/service_platform.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {

constexpr const char* kEol = "\r\n";

}  // namespace

int RunCheck(Env& env, const ProfileCheckLimits& limits) {
  NewServicePlatform(env)->InitializeThread();
  TTolvenarConnectorConfig config(&env);
  ProfilesFileState file_state = ProfilesFileState::kRead;
  std::string file_problem;
  std::vector<ProfileSectionReading> readings =
      config.ReadProfileSections(&file_state, &file_problem);

  std::string report = "Tolvenar Connector " + std::string(kConnectorVersion) +
                       ": verificacao de " + OneLineLoggableText(config.FileName()) + kEol;
  if (file_state == ProfilesFileState::kMissing) {
    report += std::string("Arquivo nao encontrado.") + kEol;
  }

  // Active profiles are looked at side by side: an unreachable server can
  // take the whole probe limit, and there may be many profiles. The others
  // need no thread of their own.
  std::vector<std::future<ProfileCheckResult>> checks;
  checks.reserve(readings.size());
  for (const ProfileSectionReading& reading : readings) {
    const std::launch policy = reading.Usable() ? std::launch::async : std::launch::deferred;
    checks.push_back(std::async(
        policy, [&env, &reading, &limits] { return CheckProfileSection(env, reading, limits); }));
  }

  int active = 0;
  int failing = 0;
  for (size_t i = 0; i < readings.size(); ++i) {
    const ProfileCheckResult result = checks[i].get();
    report += "[" + OneLineLoggableText(readings[i].profile->Section()) + "]" + kEol;
    for (const std::string& line : result.lines) report += "  " + line + kEol;
    if (result.active) {
      ++active;
      if (!result.ready) ++failing;
    }
  }

  if (!file_problem.empty()) {
    // The service's own start failure, word for word.
    report += file_problem + kEol;
  } else if (active == 0) {
    report += std::string("Nenhuma conexao configurada em TolvenarConnector.ini.") + kEol;
  } else if (failing == 0) {
    report += "Resumo: " + std::to_string(active) +
              (active == 1 ? " conexao ativa, pronta." : " conexoes ativas, todas prontas.") + kEol;
  } else {
    report += "Resumo: " + std::to_string(failing) + " de " + std::to_string(active) +
              (active == 1 ? " conexao ativa com falha." : " conexoes ativas com falha.") + kEol;
  }
  if (active == 0 || failing > 0) report += FillMessage(kMsgGuide, {OperatorGuidePath(env)}) + kEol;
  env.WriteStdOut(report);
  return active > 0 && failing == 0 ? 0 : 1;
}

}  // namespace tolvenar
