#include "reference_server/sample_local_api.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "reference_server/admin_json.h"
#include "reference_server/http_listener.h"
#include "reference_server/sample_routes.h"
#include "reference_server/text_report.h"

namespace tolvenar::tools {

namespace {

using Json = nlohmann::ordered_json;

std::string ErrorJson(std::string_view message) { return Json{{"erro", message}}.dump(); }

}  // namespace

struct SampleLocalApi::State {
  explicit State(size_t kept) : kept_records(kept) {}
  const size_t kept_records;
  mutable std::mutex mutex;
  std::condition_variable stopping_changed;
  bool stopping = false;
  std::map<std::string, RouteFault> faults;
  std::deque<RecordedRequest> requests;
};

struct SampleLocalApi::Exchange {
  const httplib::Request& request;
  httplib::Response& response;
  RecordedRequest record;

  void Reply(int status, const std::string& body) {
    ReplyJson(response, status, body);
    record.response_status = status;
    record.response_body = body;
  }
};

SampleLocalApi::SampleLocalApi(const ListenOptions& options, std::string version)
    : version_(std::move(version)), state_(std::make_unique<State>(options.kept_records)) {
  listener_ = std::make_unique<HttpListener>(
      options, [this](const httplib::Request& request, httplib::Response& response) {
        Exchange exchange{request, response, RecordRequest(request)};
        Handle(exchange);
      });
}

SampleLocalApi::~SampleLocalApi() {
  {
    // Slow answers end at once rather than hold up the server's stop.
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->stopping_changed.notify_all();
  listener_.reset();
}

int SampleLocalApi::Port() const { return listener_->port(); }

std::string SampleLocalApi::BaseURL() const { return listener_->BaseURL(); }

void SampleLocalApi::SetFault(const std::string& path, const RouteFault& fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (fault.status == 0 && fault.delay_ms <= 0) {
    state_->faults.erase(path);
  } else {
    state_->faults[path] = fault;
  }
}

std::vector<RecordedRequest> SampleLocalApi::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->requests.begin(), state_->requests.end()};
}

std::vector<RecordedRequest> SampleLocalApi::Requests(std::string_view path) const {
  std::vector<RecordedRequest> matching;
  for (RecordedRequest& request : Requests())
    if (request.path == path) matching.push_back(std::move(request));
  return matching;
}

std::string SampleLocalApi::Report() const { return LocalApiReport(Requests()); }

void SampleLocalApi::Handle(Exchange& exchange) {
  if (exchange.request.path.rfind("/admin/", 0) == 0) {
    HandleAdmin(exchange);
    return;
  }
  std::optional<RouteFault> fault;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    const auto it = state_->faults.find(exchange.record.path);
    if (it != state_->faults.end()) {
      fault = it->second;
      state_->stopping_changed.wait_for(lock, std::chrono::milliseconds(fault->delay_ms),
                                        [&] { return state_->stopping; });
    }
  }
  if (fault && fault->status != 0) {
    exchange.Reply(fault->status, fault->body.empty() ? ErrorJson("Falha simulada na rota " +
                                                                  exchange.record.path + ".")
                                                      : fault->body);
  } else if (const auto answer = AnswerSampleRoute(exchange.record, version_)) {
    exchange.Reply(answer->status, answer->body);
  } else {
    exchange.Reply(404, ErrorJson("Rota inexistente."));
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  AppendKeepingLast(state_->requests, std::move(exchange.record), state_->kept_records);
}

void SampleLocalApi::HandleAdmin(Exchange& exchange) {
  const httplib::Request& request = exchange.request;
  if (!FromLoopback(request)) {
    exchange.Reply(403, ErrorJson("Rotas de administracao apenas em loopback."));
    return;
  }
  const std::string route = request.method + " " + request.path;
  if (route == "GET /admin/requests") {
    exchange.Reply(200, RequestsToJson(Requests()));
  } else if (route == "GET /admin/report") {
    exchange.response.status = 200;
    exchange.response.set_content(Report(), "text/plain; charset=utf-8");
  } else if (route == "POST /admin/faults") {
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("path") || !body["path"].is_string()) {
      exchange.Reply(400, ErrorJson("Esperado {\"path\":...,\"status\":N,\"delay_ms\":N}."));
      return;
    }
    RouteFault fault;
    try {
      fault.status = body.value("status", 500);
      fault.delay_ms = body.value("delay_ms", 0);
      fault.body = body.value("body", std::string());
    } catch (const nlohmann::json::exception& e) {
      exchange.Reply(400, ErrorJson(e.what()));
      return;
    }
    SetFault(body["path"].get<std::string>(), fault);
    exchange.Reply(200, Json{{"ok", true}}.dump());
  } else {
    exchange.Reply(404, ErrorJson("Rota de administracao inexistente."));
  }
}

}  // namespace tolvenar::tools
