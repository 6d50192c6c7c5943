// Readable summaries of what the reference servers saw, for people (the
// demonstration prints them). Enrollment codes and credential headers show
// as masked (secret_mask.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "reference_server/connection_server.h"
#include "reference_server/recorded_request.h"

namespace tolvenar::tools {

std::string ConnectionServerReport(const std::vector<Enrollment>& enrollments,
                                   const std::vector<RecordedRequest>& requests,
                                   const std::vector<CommandResult>& results, size_t pending);

std::string LocalApiReport(const std::vector<RecordedRequest>& requests);

}  // namespace tolvenar::tools
