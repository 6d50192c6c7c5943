#include "worker/manager.h"

#include "platform/env.h"
#include "platform/exception.h"

namespace tolvenar {

TTolvenarConnectorManager::TTolvenarConnectorManager(Env* env)
    : env_(env),
      FConfig(std::make_unique<TTolvenarConnectorConfig>(env)),
      FProfiles(FConfig->LoadProfiles()) {}

TTolvenarConnectorManager::~TTolvenarConnectorManager() {
  Stop();
  // Members go in reverse order of declaration: workers, profiles, config.
}

std::unique_ptr<TTolvenarConnectorWorker> TTolvenarConnectorManager::CreateWorker(
    TTolvenarConnectorProfile* AProfile, TTolvenarConnectorConfig* AConfig) {
  return std::make_unique<TTolvenarConnectorWorker>(AProfile, AConfig, env_);
}

void TTolvenarConnectorManager::Start() {
  if (FProfiles.empty()) throw Exception(kNoProfileMessage);
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
