// JSON views of what the reference servers recorded, for their admin routes.
#pragma once

#include <string>
#include <vector>

#include "reference_server/connection_server.h"
#include "reference_server/recorded_request.h"

namespace tolvenar::tools {

// [{"method","target","headers":[[name,value],...],"body","response_status",
// "response_body"},...]; bytes that are not UTF-8 come out as U+FFFD. The
// values of credential headers are masked (secret_mask.h); so is the
// enrollment code in EnrollmentsToJson.
std::string RequestsToJson(const std::vector<RecordedRequest>& requests);
std::string ResultsToJson(const std::vector<CommandResult>& results);
std::string EnrollmentsToJson(const std::vector<Enrollment>& enrollments);

}  // namespace tolvenar::tools
