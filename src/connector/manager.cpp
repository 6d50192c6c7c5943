#include "connector/manager.h"

#include <algorithm>

#include "base/exception.h"
#include "env/env.h"

namespace tolvenar {

TTolvenarConnectorManager::TTolvenarConnectorManager(Env* env)
    : env_(env),
      FConfig(std::make_unique<TTolvenarConnectorConfig>(env)),
      FProfiles(FConfig->LoadProfiles(&FFileState, &FFileProblem)) {}

TTolvenarConnectorManager::~TTolvenarConnectorManager() {
  Stop();
  // Members go in reverse order of declaration: workers, profiles, config.
}

std::unique_ptr<TTolvenarConnectorWorker> TTolvenarConnectorManager::CreateWorker(
    TTolvenarConnectorProfile* AProfile, TTolvenarConnectorConfig* AConfig) {
  return std::make_unique<TTolvenarConnectorWorker>(AProfile, AConfig, env_);
}

void TTolvenarConnectorManager::Start() {
  // A file that is there but was not read is no empty configuration: the
  // operator must see why.
  if (!FFileProblem.empty()) throw Exception(FFileProblem);
  if (FProfiles.empty()) throw Exception(kNoProfileMessage);
  // Workers that would all end at once make a service that runs and does
  // nothing: that start fails like one without profiles.
  if (std::all_of(FProfiles.begin(), FProfiles.end(), [](const auto& profile) {
        return TTolvenarConnectorWorker::RefusesServer(*profile);
      })) {
    throw Exception(
        FillMessage(kMsgAllRefused, {TTolvenarConnectorWorker::kInsecureRefusedMessage}));
  }
  for (const auto& profile : FProfiles) {
    FWorkers.push_back(CreateWorker(profile.get(), FConfig.get()));
    FWorkers.back()->Start();
  }
}

void TTolvenarConnectorManager::Stop() {
  // Every flag first, so the workers wind down in parallel.
  for (const auto& worker : FWorkers) worker->Terminate();
  for (const auto& worker : FWorkers) worker->WaitFor();
  FWorkers.clear();
}

}  // namespace tolvenar
