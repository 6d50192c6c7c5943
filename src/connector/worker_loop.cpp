// The worker's thread body: enroll while the profile has no secret, poll
// once it has one, pause between iterations, stop when told to.
#include <exception>

#include "base/text.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "messages/messages.h"

namespace tolvenar {

bool TTolvenarConnectorWorker::RefusesServer(const TTolvenarConnectorProfile& profile) {
  return StartsWithAsciiNoCase(profile.ServerURL(), "http://") && !profile.AllowInsecureHTTP();
}

void TTolvenarConnectorWorker::Execute() {
  if (RefusesServer(*FProfile)) {
    Log(kInsecureRefusedMessage);
    return;
  }
  while (!Terminated()) {
    try {
      const std::string secret = FProfile->Secret();
      if (!secret.empty()) {
        if (FProfile->EnrollmentUnsaved()) StoreEnrollment(FProfile->ConnectorID(), secret);
        PollOnce();
      } else if (Enroll()) {
        PollOnce();  // the secret was just stored
      } else {
        // Taken even when a stop was requested during the attempt.
        Pause(kEnrollRetryPauseMS);
        continue;
      }
    } catch (const std::exception& e) {
      Log(FillMessage(kMsgCommunicationFailure, {e.what()}));
    }
    if (!Terminated()) Pause(FProfile->PollIntervalMS());
  }
}

}  // namespace tolvenar
