#include "reference_server/text_report.h"

#include <map>
#include <sstream>

#include "reference_server/secret_mask.h"

namespace tolvenar::tools {

namespace {

constexpr size_t kShownBytes = 240;

// Long bodies are cut, at a UTF-8 character boundary.
std::string Shown(const std::string& text) {
  if (text.empty()) return "(empty)";
  if (text.size() <= kShownBytes) return text;
  size_t end = kShownBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + " ... (" + std::to_string(text.size()) + " bytes)";
}

std::string ActionOf(const RecordedRequest& request) {
  const std::string prefix = "/api.php?action=";
  if (request.target.rfind(prefix, 0) == 0) return request.target.substr(prefix.size());
  return request.method + " " + request.target;
}

}  // namespace

std::string ConnectionServerReport(const std::vector<Enrollment>& enrollments,
                                   const std::vector<RecordedRequest>& requests,
                                   const std::vector<CommandResult>& results, size_t pending) {
  std::ostringstream out;
  out << "Enrollments (" << enrollments.size() << "):\n";
  for (const Enrollment& e : enrollments) {
    out << "  CNPJ " << e.cnpj << ", code " << MaskSecret(e.code) << " -> " << e.connector_id
        << " (connector " << e.connector_version << ", local API "
        << (e.local_api_version.empty() ? "unknown" : e.local_api_version) << ")\n";
  }

  std::map<std::string, std::map<int, int>> answers;
  for (const RecordedRequest& request : requests)
    ++answers[ActionOf(request)][request.response_status];
  out << "Requests by action, with the statuses answered:\n";
  for (const auto& [action, statuses] : answers) {
    int total = 0;
    std::string detail;
    for (const auto& [status, count] : statuses) {
      total += count;
      detail +=
          (detail.empty() ? "" : ", ") + std::to_string(status) + ": " + std::to_string(count);
    }
    out << "  " << action << ": " << total << " (" << detail << ")\n";
  }

  out << "Results received (" << results.size() << "):\n";
  for (const CommandResult& r : results) {
    out << "  [" << r.command_id << "] " << (r.method.empty() ? "?" : r.method) << " " << r.path
        << "\n"
        << "      http_status: " << r.http_status << "\n"
        << "      body:        " << Shown(r.body) << "\n"
        << "      error:       " << Shown(r.error) << "\n";
  }
  out << "Commands still queued: " << pending << "\n";
  return out.str();
}

std::string LocalApiReport(const std::vector<RecordedRequest>& requests) {
  std::ostringstream out;
  out << "Requests received (" << requests.size() << "):\n";
  for (const RecordedRequest& r : requests) {
    out << "  " << r.method << " " << r.target << " -> " << r.response_status << "\n";
    for (const char* name : {"Authorization", "X-Tolvenar-Session"}) {
      if (r.HasHeader(name)) out << "      " << name << ": " << MaskSecret(r.Header(name)) << "\n";
    }
    if (!r.body.empty()) out << "      request body:  " << Shown(r.body) << "\n";
    out << "      response body: " << Shown(r.response_body) << "\n";
  }
  return out.str();
}

}  // namespace tolvenar::tools
