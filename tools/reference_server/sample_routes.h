// The sample local API's 22 routes and their small, plausible answers.
#pragma once

#include <optional>
#include <string>

#include "reference_server/recorded_request.h"

namespace tolvenar::tools {

struct SampleAnswer {
  int status = 200;
  std::string body;  // JSON, UTF-8
};

// The answer to `request` (any method), or nothing when its path is not a
// route of the sample API. `version` is the one "/health" reports.
std::optional<SampleAnswer> AnswerSampleRoute(const RecordedRequest& request,
                                              const std::string& version);

}  // namespace tolvenar::tools
