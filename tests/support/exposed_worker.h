// A worker whose operations tests may call directly, logging to a list.
#pragma once

#include <string>
#include <vector>

#include "connector/worker.h"

namespace tolvenar::testing {

class ExposedWorker : public TTolvenarConnectorWorker {
 public:
  using TTolvenarConnectorWorker::CallLocalAPI;
  using TTolvenarConnectorWorker::Enroll;
  using TTolvenarConnectorWorker::IsRouteAllowed;
  using TTolvenarConnectorWorker::PollOnce;
  using TTolvenarConnectorWorker::PostServerAction;
  using TTolvenarConnectorWorker::QueryLocalAPIVersion;
  using TTolvenarConnectorWorker::ServerActionURL;
  using TTolvenarConnectorWorker::StoreEnrollment;
  using TTolvenarConnectorWorker::TTolvenarConnectorWorker;

  std::vector<std::string> logged;

 protected:
  void Execute() override {}
  void Log(const std::string& text) override { logged.push_back(text); }
};

}  // namespace tolvenar::testing
