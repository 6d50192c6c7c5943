#include "connector/worker.h"

#include "env/env.h"

namespace tolvenar {

TTolvenarConnectorWorker::TTolvenarConnectorWorker(TTolvenarConnectorProfile* AProfile,
                                                   TTolvenarConnectorConfig* AConfig, Env* env)
    : FProfile(AProfile), FConfig(AConfig), env_(env) {}

TTolvenarConnectorWorker::~TTolvenarConnectorWorker() {
  // The thread runs this object's Execute: it must end before the object.
  Terminate();
  WaitFor();
}

void TTolvenarConnectorWorker::Pause(int milliseconds) { env_->SleepMs(milliseconds); }

}  // namespace tolvenar
