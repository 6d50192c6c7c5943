// TTolvenarConnectorManager: the connector's top object. Owns the
// configuration, the profiles and one worker per profile.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "messages/messages.h"

namespace tolvenar {

class Env;

class TTolvenarConnectorManager {
 public:
  // Creates the configuration object and loads the profiles.
  explicit TTolvenarConnectorManager(Env* env);
  // Stop, then frees the workers, the profiles and the configuration.
  virtual ~TTolvenarConnectorManager();

  // Creates, appends and starts one worker per profile, in file order.
  // Raises, starting nothing: the config's message for a profiles file that
  // is there and could not be read (or is too large);
  // Exception("Nenhuma conexao configurada em TolvenarConnector.ini.") when
  // no profile was loaded; kAllRefusedMessage when every profile's worker
  // would refuse its plain-HTTP server at once.
  void Start();
  // Tells every worker to stop, waits for each, frees them. Harmless when
  // repeated.
  void Stop();

  const TTolvenarConnectorProfileList& Profiles() const { return FProfiles; }
  size_t WorkerCount() const { return FWorkers.size(); }

  static constexpr const char* kNoProfileMessage = kMsgNoProfile;

 protected:
  // Makes one worker; tests substitute workers with a fake loop.
  virtual std::unique_ptr<TTolvenarConnectorWorker> CreateWorker(
      TTolvenarConnectorProfile* AProfile, TTolvenarConnectorConfig* AConfig);

 private:
  Env* env_;
  std::unique_ptr<TTolvenarConnectorConfig> FConfig;
  // How reading the file went; set by the profiles' loading (declared
  // before FProfiles, so that it is there first).
  ProfilesFileState FFileState = ProfilesFileState::kRead;
  std::string FFileProblem;
  TTolvenarConnectorProfileList FProfiles;
  std::vector<std::unique_ptr<TTolvenarConnectorWorker>> FWorkers;
};

}  // namespace tolvenar
