#include "reference_server/connection_server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "config/cnpj.h"
#include "reference_server/admin_json.h"
#include "reference_server/http_listener.h"
#include "reference_server/random_hex.h"
#include "reference_server/secret_mask.h"
#include "reference_server/text_report.h"

namespace tolvenar::tools {

namespace {

using Json = nlohmann::ordered_json;

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// Compares secrets without stopping at the first difference.
bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// Text of a member the way a server reads it: strings as they are, other
// scalars as their JSON text, "" when missing.
std::string MemberText(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null() || it->is_structured()) return std::string();
  return it->is_string() ? it->get<std::string>() : it->dump();
}

std::string ErrorJson(std::string_view message) { return Json{{"error", message}}.dump(); }

Json ParseObject(const std::string& text) {
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return Json();
  return value;
}

// The enrollment code a connector sent, the secret it was given and the
// credentials handed out with a command, hidden for the admin routes. No
// other protocol body names these members, so the action does not matter.
void MaskProtocolSecrets(RecordedRequest& request) {
  request.body = MaskJsonMembers(request.body, {"code"});
  request.response_body = MaskJsonMembers(request.response_body,
                                          {"connector_secret", "authorization", "session_token"});
}

struct QueuedCommand {
  std::string json;
  std::string id, method, path;
  std::string cnpj;  // "" for any connector
  std::chrono::steady_clock::time_point handed_out_at;
};

struct Connector {
  std::string id, cnpj, secret;
};

}  // namespace

struct ConnectionServer::State {
  explicit State(size_t kept) : kept_records(kept) {}
  const size_t kept_records;
  mutable std::mutex mutex;
  struct Code {
    std::string cnpj, code;
    bool used = false;
  };
  std::vector<Code> codes;
  std::vector<Connector> connectors;
  std::deque<QueuedCommand> queue;
  // Kept for matching results; as bounded as the results themselves.
  std::deque<QueuedCommand> handed_out;
  std::vector<Enrollment> enrollments;
  std::deque<CommandResult> results;
  std::deque<RecordedRequest> requests;
  // Counted since the start, beyond what is kept.
  uint64_t requests_total = 0;
  uint64_t results_total = 0;
  int poll_status = 0;
  int result_status = 0;
  int next_command = 1;

  const Connector* Authenticate(const RecordedRequest& request) const {
    if (!request.HasHeader("X-Tolvenar-Connector")) return nullptr;
    const std::string secret = request.Header("X-Tolvenar-Connector");
    const Connector* found = nullptr;
    for (const Connector& connector : connectors)
      if (SameSecret(connector.secret, secret)) found = &connector;
    return found;
  }
};

struct ConnectionServer::Exchange {
  const httplib::Request& request;
  httplib::Response& response;
  RecordedRequest record;

  void Reply(int status, const std::string& json) {
    if (status == 204) {
      response.status = 204;
    } else {
      ReplyJson(response, status, json);
    }
    record.response_status = status;
    record.response_body = status == 204 ? std::string() : json;
  }
};

ConnectionServer::ConnectionServer(const ListenOptions& options)
    : state_(std::make_unique<State>(options.kept_records)) {
  listener_ = std::make_unique<HttpListener>(
      options, [this](const httplib::Request& request, httplib::Response& response) {
        Exchange exchange{request, response, RecordRequest(request)};
        Handle(exchange);
      });
}

ConnectionServer::~ConnectionServer() { listener_.reset(); }

int ConnectionServer::Port() const { return listener_->port(); }

std::string ConnectionServer::BaseURL() const { return listener_->BaseURL(); }

void ConnectionServer::AcceptCode(std::string_view cnpj, std::string_view code) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->codes.push_back({NormalizeCNPJ(cnpj), Upper(code), false});
}

std::string ConnectionServer::QueueCommand(const std::string& command_json, std::string_view cnpj) {
  Json command = ParseObject(command_json);
  if (command.is_null()) throw std::invalid_argument("a command must be a JSON object");
  std::lock_guard<std::mutex> lock(state_->mutex);
  QueuedCommand queued;
  queued.json = command_json;
  if (!command.contains("id")) {
    Json with_id = {{"id", "cmd-" + std::to_string(state_->next_command)}};
    with_id.update(command);
    command = std::move(with_id);
    queued.json = command.dump();
  }
  ++state_->next_command;
  queued.id = MemberText(command, "id");
  queued.method = MemberText(command, "method");
  queued.path = MemberText(command, "path");
  queued.cnpj = NormalizeCNPJ(cnpj);
  state_->queue.push_back(queued);
  return queued.id;
}

void ConnectionServer::SetPollStatus(int status) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->poll_status = status;
}

void ConnectionServer::SetResultStatus(int status) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->result_status = status;
}

std::vector<Enrollment> ConnectionServer::Enrollments() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->enrollments;
}

std::vector<CommandResult> ConnectionServer::Results() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->results.begin(), state_->results.end()};
}

std::vector<RecordedRequest> ConnectionServer::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->requests.begin(), state_->requests.end()};
}

std::vector<RecordedRequest> ConnectionServer::Requests(std::string_view action) const {
  const std::string target = "/api.php?action=" + std::string(action);
  std::vector<RecordedRequest> matching;
  for (RecordedRequest& request : Requests())
    if (request.target == target) matching.push_back(std::move(request));
  return matching;
}

size_t ConnectionServer::PendingCommands() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->queue.size();
}

std::string ConnectionServer::Report() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return ConnectionServerReport(
      state_->enrollments, {state_->requests.begin(), state_->requests.end()},
      {state_->results.begin(), state_->results.end()}, state_->queue.size());
}

void ConnectionServer::Handle(Exchange& exchange) {
  if (exchange.request.path.rfind("/admin/", 0) == 0) {
    HandleAdmin(exchange);
    return;
  }
  const std::string action = exchange.request.get_param_value("action");
  if (exchange.request.path != "/api.php") {
    exchange.Reply(404, ErrorJson("Recurso inexistente."));
  } else if (exchange.request.method != "POST") {
    exchange.Reply(405, ErrorJson("Use POST."));
  } else if (action == "connector-enroll") {
    Enroll(exchange);
  } else if (action == "connector-poll") {
    Poll(exchange);
  } else if (action == "connector-result") {
    TakeResult(exchange);
  } else {
    exchange.Reply(404, ErrorJson("Acao desconhecida."));
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  AppendKeepingLast(state_->requests, std::move(exchange.record), state_->kept_records);
  ++state_->requests_total;
}

void ConnectionServer::Enroll(Exchange& exchange) {
  const Json request = ParseObject(exchange.request.body);
  if (request.is_null()) {
    exchange.Reply(400, ErrorJson("Corpo JSON invalido."));
    return;
  }
  Enrollment enrollment;
  enrollment.cnpj = MemberText(request, "cnpj");
  enrollment.code = MemberText(request, "code");
  enrollment.connector_version = MemberText(request, "connector_version");
  enrollment.local_api_version = MemberText(request, "local_api_version");

  std::lock_guard<std::mutex> lock(state_->mutex);
  const auto code = std::find_if(state_->codes.begin(), state_->codes.end(), [&](const auto& c) {
    return !c.used && !enrollment.code.empty() && c.code == enrollment.code &&
           c.cnpj == enrollment.cnpj;
  });
  if (code == state_->codes.end()) {
    exchange.Reply(403, ErrorJson("Codigo de vinculacao invalido ou ja utilizado."));
    return;
  }
  code->used = true;
  enrollment.connector_id = "connector-" + std::to_string(state_->connectors.size() + 1);
  enrollment.connector_secret = RandomHex(32);
  state_->connectors.push_back(
      {enrollment.connector_id, enrollment.cnpj, enrollment.connector_secret});
  state_->enrollments.push_back(enrollment);
  exchange.Reply(200, Json{{"connector_id", enrollment.connector_id},
                           {"connector_secret", enrollment.connector_secret}}
                          .dump());
}

void ConnectionServer::Poll(Exchange& exchange) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->poll_status != 0) {
    exchange.Reply(state_->poll_status, ErrorJson("Servico indisponivel (simulado)."));
    return;
  }
  const Connector* connector = state_->Authenticate(exchange.record);
  if (connector == nullptr) {
    exchange.Reply(401, ErrorJson("Connector nao autorizado."));
    return;
  }
  const auto next = std::find_if(state_->queue.begin(), state_->queue.end(), [&](const auto& c) {
    return c.cnpj.empty() || c.cnpj == connector->cnpj;
  });
  if (next == state_->queue.end()) {
    exchange.Reply(204, std::string());
    return;
  }
  exchange.Reply(200, "{\"command\":" + next->json + "}");
  next->handed_out_at = std::chrono::steady_clock::now();
  AppendKeepingLast(state_->handed_out, *next, state_->kept_records);
  state_->queue.erase(next);
}

void ConnectionServer::TakeResult(Exchange& exchange) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->result_status != 0) {
    exchange.Reply(state_->result_status, ErrorJson("Falha ao registrar o resultado (simulada)."));
    return;
  }
  const Connector* connector = state_->Authenticate(exchange.record);
  if (connector == nullptr) {
    exchange.Reply(401, ErrorJson("Connector nao autorizado."));
    return;
  }
  const Json result = ParseObject(exchange.request.body);
  const auto is = [&](const char* name, auto test) {
    const auto it = result.find(name);
    return it != result.end() && test(*it);
  };
  if (result.is_null() || !is("command_id", [](const Json& v) { return v.is_string(); }) ||
      !is("http_status", [](const Json& v) { return v.is_number_integer(); }) ||
      !is("body", [](const Json& v) { return v.is_string(); }) ||
      !is("error", [](const Json& v) { return v.is_string(); })) {
    exchange.Reply(400, ErrorJson("Resultado invalido."));
    return;
  }
  CommandResult recorded;
  recorded.connector_id = connector->id;
  recorded.command_id = result["command_id"].get<std::string>();
  recorded.http_status = result["http_status"].get<long long>();
  recorded.body = result["body"].get<std::string>();
  recorded.error = result["error"].get<std::string>();
  for (const QueuedCommand& command : state_->handed_out) {
    if (command.id == recorded.command_id) {
      recorded.method = command.method;
      recorded.path = command.path;
      recorded.relay_us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - command.handed_out_at)
                              .count();
    }
  }
  AppendKeepingLast(state_->results, std::move(recorded), state_->kept_records);
  ++state_->results_total;
  exchange.Reply(200, Json{{"ok", true}}.dump());
}

void ConnectionServer::HandleAdmin(Exchange& exchange) {
  const httplib::Request& request = exchange.request;
  if (!FromLoopback(request)) {
    exchange.Reply(403, ErrorJson("Rotas de administracao apenas em loopback."));
    return;
  }
  const std::string route = request.method + " " + request.path;
  try {
    if (route == "POST /admin/commands") {
      const std::string id = QueueCommand(request.body, request.get_param_value("cnpj"));
      exchange.Reply(201, Json{{"id", id}, {"pending", PendingCommands()}}.dump());
    } else if (route == "POST /admin/codes") {
      const Json body = ParseObject(request.body);
      if (body.is_null()) throw std::invalid_argument("expected {\"cnpj\":...,\"code\":...}");
      AcceptCode(MemberText(body, "cnpj"), MemberText(body, "code"));
      exchange.Reply(201, Json{{"ok", true}}.dump());
    } else if (route == "POST /admin/faults") {
      const Json body = ParseObject(request.body);
      if (body.is_null()) throw std::invalid_argument("expected {\"poll_status\":N,...}");
      if (body.contains("poll_status")) SetPollStatus(body["poll_status"].get<int>());
      if (body.contains("result_status")) SetResultStatus(body["result_status"].get<int>());
      exchange.Reply(200, Json{{"ok", true}}.dump());
    } else if (route == "GET /admin/results") {
      exchange.Reply(200, ResultsToJson(Results()));
    } else if (route == "GET /admin/requests") {
      std::vector<RecordedRequest> requests = Requests();
      for (RecordedRequest& recorded : requests) MaskProtocolSecrets(recorded);
      exchange.Reply(200, RequestsToJson(requests));
    } else if (route == "GET /admin/enrollments") {
      exchange.Reply(200, EnrollmentsToJson(Enrollments()));
    } else if (route == "GET /admin/status") {
      std::lock_guard<std::mutex> lock(state_->mutex);
      exchange.Reply(200, Json{{"enrollments", state_->enrollments.size()},
                               {"pending", state_->queue.size()},
                               {"results", state_->results.size()},
                               {"requests", state_->requests.size()},
                               {"requests_total", state_->requests_total},
                               {"results_total", state_->results_total}}
                              .dump());
    } else if (route == "GET /admin/report") {
      exchange.response.status = 200;
      exchange.response.set_content(Report(), "text/plain; charset=utf-8");
    } else {
      exchange.Reply(404, ErrorJson("Rota de administracao inexistente."));
    }
  } catch (const std::exception& e) {
    exchange.Reply(400, ErrorJson(e.what()));
  }
}

}  // namespace tolvenar::tools
