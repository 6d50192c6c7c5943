// Requests to the local REST API: relayed commands and the version probe.
#include <exception>
#include <memory>

#include "base/text.h"
#include "config/profile.h"
#include "connector/local_api_probe.h"
#include "connector/worker.h"
#include "http/http_client.h"
#include "json/json.h"

namespace tolvenar {

namespace {
constexpr int kRelayConnectTimeoutMS = 5000;
constexpr int kRelayResponseTimeoutMS = 35000;
constexpr int kProbeConnectTimeoutMS = 3000;
constexpr const char* kRouteRefused = "Rota nao autorizada pelo Connector.";
}  // namespace

bool TTolvenarConnectorWorker::CallLocalAPI(const std::string& method, const std::string& path,
                                            const std::string& request_body,
                                            const std::string& authorization,
                                            const std::string& session_token, int& status,
                                            std::string& response_body, std::string& error) {
  status = 0;
  response_body.clear();
  error.clear();
  if (!IsRouteAllowed(path)) {
    status = 403;
    error = kRouteRefused;
    return false;
  }
  // A client that cannot be created is the caller's failure, not a 502.
  HttpClient client(*env_, kRelayConnectTimeoutMS, kRelayResponseTimeoutMS);
  client.SetStopSignal(&StopRequest());
  try {
    HttpHeaders headers = {{"Accept", "application/json"}, {"Content-Type", "application/json"}};
    if (!authorization.empty()) headers.emplace_back("Authorization", authorization);
    if (!session_token.empty()) headers.emplace_back("X-Tolvenar-Session", session_token);
    const std::string url = FProfile->LocalAPIURL() + path;
    const bool is_get = SameTextAscii(method, "GET");
    HttpClientResponse response =
        client.Send(is_get ? "GET" : "POST", url, headers, is_get ? std::string() : request_body);
    status = response.status;
    response_body = DecodeResponseText(std::move(response.body));
    return true;
  } catch (const std::exception& e) {
    status = 502;
    response_body.clear();
    error = e.what();
    return false;
  }
}

LocalAPIHealth ProbeLocalAPIHealth(Env& env, const std::string& local_api_url,
                                   const StopSignal* stop,
                                   std::optional<StopSignal::Clock::time_point> deadline) {
  LocalAPIHealth health;
  HttpClient client(env, kProbeConnectTimeoutMS, kHealthResponseTimeoutMS);
  client.SetStopSignal(stop);
  client.SetMaxBodyBytes(kHealthMaxBodyBytes);
  if (deadline) client.SetDeadline(*deadline);
  try {
    HttpClientResponse response = client.Send("GET", local_api_url + "/health", {}, std::string());
    health.status = response.status;
    if (response.status != 200) return health;
    const std::unique_ptr<JsonValue> answer =
        ParseJSON(DecodeResponseText(std::move(response.body)));
    if (answer && answer->IsObject()) health.version = TryGetJSONString(*answer, "version");
  } catch (const std::exception& e) {
    health.error = e.what();
  }
  return health;
}

std::string TTolvenarConnectorWorker::QueryLocalAPIVersion() {
  // A failed probe is no failure: the version is just unknown.
  return ProbeLocalAPIHealth(*env_, FProfile->LocalAPIURL(), &StopRequest()).version;
}

}  // namespace tolvenar
