#include "reference_server/admin_json.h"

#include <nlohmann/json.hpp>

#include "reference_server/secret_mask.h"

namespace tolvenar::tools {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string RequestsToJson(const std::vector<RecordedRequest>& requests) {
  Json list = Json::array();
  for (const RecordedRequest& request : requests) {
    Json headers = Json::array();
    for (const auto& [name, value] : request.headers)
      headers.push_back({name, IsSecretHeader(name) ? MaskSecret(value) : value});
    list.push_back({{"method", request.method},
                    {"target", request.target},
                    {"headers", headers},
                    {"body", request.body},
                    {"received_unix_us", request.received_unix_us},
                    {"response_status", request.response_status},
                    {"response_body", request.response_body}});
  }
  return Dump(list);
}

std::string ResultsToJson(const std::vector<CommandResult>& results) {
  Json list = Json::array();
  for (const CommandResult& result : results) {
    list.push_back({{"connector_id", result.connector_id},
                    {"command_id", result.command_id},
                    {"method", result.method},
                    {"path", result.path},
                    {"http_status", result.http_status},
                    {"body", result.body},
                    {"error", result.error},
                    {"relay_us", result.relay_us}});
  }
  return Dump(list);
}

std::string EnrollmentsToJson(const std::vector<Enrollment>& enrollments) {
  Json list = Json::array();
  for (const Enrollment& enrollment : enrollments) {
    list.push_back({{"cnpj", enrollment.cnpj},
                    {"code", MaskSecret(enrollment.code)},
                    {"connector_id", enrollment.connector_id},
                    {"connector_version", enrollment.connector_version},
                    {"local_api_version", enrollment.local_api_version}});
  }
  return Dump(list);
}

}  // namespace tolvenar::tools
