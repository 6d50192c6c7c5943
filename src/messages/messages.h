// Every line the connector writes for an operator, in one place: the
// activity log, the event log (journal on Linux) and the console. The
// operator's guide (docs/LEIAME.md) has a table with each of these texts,
// and a test fails when one of them is missing there.
//
// A text's variable parts are written as placeholders, "<name>" (lower-case
// letters and "_"), and filled in order with FillMessage. To add a message:
// define its text here, write it through FillMessage (or as it stands when
// it has no placeholder), list it in kOperatorMessages with its kind, and
// add a row with the same text, what it means and what to do to the table
// in docs/LEIAME.md. The kind of a "log" message is all the connector needs
// to know of it: the journal's priority of its entries and whether -check
// counts it a failure follow from it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "base/text.h"
#include "base/version.h"

namespace tolvenar {

// The text with each placeholder replaced by the next value, in order; a
// placeholder without a value stays as it stands.
std::string FillMessage(std::string_view text, std::initializer_list<std::string_view> values);

// The text before its first placeholder.
constexpr std::string_view MessagePrefix(std::string_view text) {
  return text.substr(0, text.find('<'));
}

// --- activity log (TolvenarConnector.log), one entry per line ---
inline constexpr char kMsgInsecureRefused[] =
    "Conexao HTTP recusada. Ative HTTPS ou PermitirHTTPInseguro apenas para homologacao.";
inline constexpr std::string_view kMsgCommunicationFailure = "Falha de comunicacao: <mensagem>";
inline constexpr std::string_view kMsgEnrollRefused = "Vinculacao recusada (HTTP <status>).";
inline constexpr char kMsgEnrolled[] = "Vinculacao concluida com sucesso.";
inline constexpr std::string_view kMsgPollRefused = "Servidor de conexao respondeu HTTP <status>.";
inline constexpr std::string_view kMsgResultRefused =
    "Falha ao devolver comando <id> (HTTP <status>).";

// --- event log (Windows) / journal (Linux) ---
// Also a console line: the reason a start fails.
inline constexpr std::string_view kMsgAllRefused =
    "Nenhuma conexao de TolvenarConnector.ini pode iniciar: <mensagem>";
// Reasons a start fails, for a profiles file that is there and was not read.
inline constexpr std::string_view kMsgProfilesUnreadable =
    "Nao foi possivel ler <arquivo>: <motivo>";
inline constexpr std::string_view kMsgProfilesTooLarge =
    "Arquivo <arquivo> maior que 1 MiB (<tamanho> bytes): nao foi lido.";
// Linux, syslog: the activity log path is no regular file of this account.
inline constexpr std::string_view kMsgLogRefused =
    "Log de atividade nao gravado em <caminho>: <motivo>; so um arquivo comum desta conta recebe "
    "as entradas.";
inline constexpr std::string_view kMsgStartFailure = "Falha ao iniciar o Connector: <mensagem>";
inline constexpr std::string_view kMsgServiceFailed = "Service failed on <acao>: <mensagem>";
inline constexpr std::string_view kMsgServiceCustomError =
    "Service failed in custom message(<codigo>): <mensagem>";

// --- console ---
inline constexpr auto kMsgConsoleLine = JoinText("Tolvenar Connector ", kConnectorVersion,
                                                 " em execucao. Pressione ENTER para encerrar.");
inline constexpr char kMsgNoProfile[] = "Nenhuma conexao configurada em TolvenarConnector.ini.";
inline constexpr std::string_view kMsgErrorReport =
    "Exception <classe> in module <modulo> at <endereco>.";
inline constexpr char kMsgServiceInstalled[] = "Service installed successfully";
inline constexpr char kMsgServiceUninstalled[] = "Service uninstalled successfully";
inline constexpr std::string_view kMsgInstallFailed =
    "Service \"<nome>\" failed to install with error: \"<mensagem>\"";
inline constexpr std::string_view kMsgUninstallFailed =
    "Service \"<nome>\" failed to uninstall with error: \"<mensagem>\"";
inline constexpr std::string_view kMsgMissingAccount =
    "O usuario e o grupo de sistema <conta> precisam existir; o servico nao sera instalado para "
    "rodar como root. Crie-os com: useradd --system --user-group --home-dir /var/lib/<pasta> "
    "--no-create-home --shell /usr/sbin/nologin <conta>";
// The first line of the usage text, for a switch the program does not know.
inline constexpr std::string_view kMsgUsage =
    "Uso: <programa> -console | -check | -install [-silent] | -uninstall [-silent]";
// Linux: root refuses files another account controls. <programa> is the
// program's path with its switch, if any; the command is in quotes, since
// the report ends the message with a full stop that must not stick to it.
inline constexpr std::string_view kMsgRootRefusedOwner =
    "Recusado: <caminho> pertence a conta <conta>, e root nao usa arquivos que outra conta "
    "controla. Use o comando \"runuser -u <conta> -- <programa>\" para executar como essa conta";
inline constexpr std::string_view kMsgRootRefusedGroup =
    "Recusado: <caminho> pode ser alterado pelo grupo <grupo>, e root nao usa arquivos que outra "
    "conta controla. Use o comando \"runuser -u <grupo> -- <programa>\" para executar como a "
    "conta desse grupo";
// "<conta>" after "runuser -u" stays as written: the operator puts in the
// service's account.
inline constexpr std::string_view kMsgRootRefusedOther =
    "Recusado: <caminho> pode ser alterado por qualquer conta, e root nao usa arquivos que outra "
    "conta controla. Tire essa permissao (chmod o-w <caminho>) ou use o comando \"runuser -u "
    "<conta> -- <programa>\" com a conta do servico";

// --- check (-check), a CNPJ the connection server will not take ---
// A pending profile's enrollment will be refused: a failure. An enrolled
// profile is known to the server by its ConnectorID: a warning.
inline constexpr std::string_view kMsgCnpjLengthPending =
    "CNPJ: FALHA: <tamanho> caracteres; um CNPJ tem 14. O servidor de conexao recusara a "
    "vinculacao.";
inline constexpr std::string_view kMsgCnpjDigitsPending =
    "CNPJ: FALHA: digitos verificadores errados (<informados>; pelo calculo, <esperados>). O "
    "servidor de conexao recusara a vinculacao.";
inline constexpr std::string_view kMsgCnpjLengthEnrolled =
    "CNPJ: AVISO: <tamanho> caracteres; um CNPJ tem 14. A conexao ja vinculada segue pelo "
    "ConnectorID.";
inline constexpr std::string_view kMsgCnpjDigitsEnrolled =
    "CNPJ: AVISO: digitos verificadores errados (<informados>; pelo calculo, <esperados>). A "
    "conexao ja vinculada segue pelo ConnectorID.";

// --- check (-check), the recent activity of each profile ---
inline constexpr std::string_view kMsgHistoryHeader = "Atividade recente (<arquivo>):";
inline constexpr std::string_view kMsgHistoryEntry = "<data_hora>, ha <idade>: <entrada>";
inline constexpr std::string_view kMsgHistoryEntryFuture =
    "<data_hora>, horario a frente do relogio: <entrada>";
inline constexpr char kMsgHistoryNone[] = "sem atividade registrada";
inline constexpr char kMsgHistoryMissing[] = "registro nao encontrado; sem atividade registrada";
inline constexpr std::string_view kMsgHistoryUnreadable =
    "registro <arquivo> nao pode ser lido; atividade recente desconhecida";
inline constexpr std::string_view kMsgHistoryFailure =
    "Atividade recente: FALHA: ultima entrada, ha <idade>: <entrada>";
inline constexpr std::string_view kMsgGuide = "Guia de operacao: <caminho>";

// How much a message asks of the operator.
enum class MessageKind {
  // Things going as they should: nothing to do.
  kNotice,
  // A refusal, or something that works only in part: worth a look.
  kWarning,
  // Something failed: the operator has to act for it to work.
  kFailure,
};

struct OperatorMessage {
  std::string_view text;
  // "log", "evento" or "console": where an operator meets it.
  std::string_view where;
  MessageKind kind;
};

inline constexpr OperatorMessage kOperatorMessages[] = {
    {kMsgInsecureRefused, "log", MessageKind::kFailure},
    {kMsgCommunicationFailure, "log", MessageKind::kFailure},
    {kMsgEnrollRefused, "log", MessageKind::kWarning},
    {kMsgEnrolled, "log", MessageKind::kNotice},
    {kMsgPollRefused, "log", MessageKind::kWarning},
    {kMsgResultRefused, "log", MessageKind::kWarning},
    {kMsgStartFailure, "evento", MessageKind::kFailure},
    {kMsgServiceFailed, "evento", MessageKind::kFailure},
    {kMsgServiceCustomError, "evento", MessageKind::kFailure},
    {kMsgAllRefused, "evento", MessageKind::kFailure},
    {kMsgProfilesUnreadable, "evento", MessageKind::kFailure},
    {kMsgProfilesTooLarge, "evento", MessageKind::kFailure},
    {kMsgLogRefused, "evento", MessageKind::kWarning},
    {kMsgConsoleLine, "console", MessageKind::kNotice},
    {kMsgNoProfile, "console", MessageKind::kFailure},
    {kMsgErrorReport, "console", MessageKind::kFailure},
    {kMsgServiceInstalled, "console", MessageKind::kNotice},
    {kMsgServiceUninstalled, "console", MessageKind::kNotice},
    {kMsgInstallFailed, "console", MessageKind::kFailure},
    {kMsgUninstallFailed, "console", MessageKind::kFailure},
    {kMsgMissingAccount, "console", MessageKind::kFailure},
    {kMsgUsage, "console", MessageKind::kFailure},
    {kMsgRootRefusedOwner, "console", MessageKind::kFailure},
    {kMsgRootRefusedGroup, "console", MessageKind::kFailure},
    {kMsgRootRefusedOther, "console", MessageKind::kFailure},
    {kMsgCnpjLengthPending, "console", MessageKind::kFailure},
    {kMsgCnpjDigitsPending, "console", MessageKind::kFailure},
    {kMsgCnpjLengthEnrolled, "console", MessageKind::kWarning},
    {kMsgCnpjDigitsEnrolled, "console", MessageKind::kWarning},
    {kMsgHistoryHeader, "console", MessageKind::kNotice},
    {kMsgHistoryEntry, "console", MessageKind::kNotice},
    {kMsgHistoryEntryFuture, "console", MessageKind::kNotice},
    {kMsgHistoryNone, "console", MessageKind::kNotice},
    {kMsgHistoryMissing, "console", MessageKind::kNotice},
    {kMsgHistoryUnreadable, "console", MessageKind::kWarning},
    {kMsgHistoryFailure, "console", MessageKind::kFailure},
    {kMsgGuide, "console", MessageKind::kNotice},
};

// The activity-log message ("log" in kOperatorMessages) an entry was
// written from: the one whose MessagePrefix begins the entry, the longest
// such prefix when several do; nullptr when none does. The entry is matched
// as written, so text after a message (an entry that spans lines) keeps it.
const OperatorMessage* FindLogMessage(std::string_view entry);

}  // namespace tolvenar
