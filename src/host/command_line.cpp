#include "host/command_line.h"

#include "env/env.h"
#include "messages/messages.h"

namespace tolvenar {

bool HasSwitch(const std::vector<std::string>& params, std::string_view name, Env& env) {
  for (const std::string& param : params) {
    if (!param.empty() && (param[0] == '-' || param[0] == '/') &&
        env.SameTextIgnoreCase(std::string_view(param).substr(1), name)) {
      return true;
    }
  }
  return false;
}

bool HasCommandLineSwitch(Env& env, std::string_view name) {
  return HasSwitch(env.CommandLineParams(), name, env);
}

std::string UsageText(std::string_view program) {
  return FillMessage(kMsgUsage, {program}) +
         "\r\n"
         "  -console    executa as conexoes nesta janela; ENTER encerra\r\n"
         "  -check      verifica TolvenarConnector.ini e as conexoes sem alterar nada\r\n"
         "  -install    registra o servico TolvenarConnector\r\n"
         "  -uninstall  remove o servico TolvenarConnector\r\n"
         "  -silent     com -install ou -uninstall: sem mensagem de sucesso\r\n"
         "Sem opcao, o programa roda apenas como servico, iniciado pelo gerenciador de "
         "servicos.\r\n";
}

}  // namespace tolvenar
