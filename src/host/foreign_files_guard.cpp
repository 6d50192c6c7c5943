#include "host/foreign_files_guard.h"

#include <vector>

#include "platform/env.h"
#include "platform/exception.h"

namespace tolvenar {

namespace {

constexpr const char* kWhy = ", e root nao usa arquivos que outra conta controla. ";

}  // namespace

void RefuseFilesOfOtherAccounts(Env& env, const std::string& switch_text) {
  const std::string folder = env.ExecutableDir();
  // The files first: their owner is the account to run as.
  const std::optional<ForeignControl> hold = env.FindForeignControl(
      {folder + "TolvenarConnector.ini", folder + "TolvenarConnector.log", folder});
  if (!hold) return;
  // In quotes: the report ends the message with a full stop, which must not
  // stick to a switch copied from it.
  const auto command = [&](const std::string& account) {
    return "\"runuser -u " + account + " -- " + folder + env.ExecutableName() +
           (switch_text.empty() ? "" : " " + switch_text) + "\"";
  };
  switch (hold->kind) {
    case ForeignControl::Kind::kOwner:
      throw Exception("Recusado: " + hold->path + " pertence a conta " + hold->account + kWhy +
                      "Use o comando " + command(hold->account) + " para executar como essa conta");
    case ForeignControl::Kind::kGroupWritable:
      throw Exception("Recusado: " + hold->path + " pode ser alterado pelo grupo " + hold->account +
                      kWhy + "Use o comando " + command(hold->account) +
                      " para executar como a conta desse grupo");
    case ForeignControl::Kind::kOtherWritable:
      throw Exception("Recusado: " + hold->path + " pode ser alterado por qualquer conta" + kWhy +
                      "Tire essa permissao (chmod o-w " + hold->path + ") ou use o comando " +
                      command("<conta>") + " com a conta do servico");
  }
}

}  // namespace tolvenar
