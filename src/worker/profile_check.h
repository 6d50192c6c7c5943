// The diagnosis of one profile section: what the service would do with it,
// found without changing anything (no file, no log, no server action).
#pragma once

#include <string>
#include <vector>

namespace tolvenar {

class Env;
struct ProfileSectionReading;

struct ProfileCheckResult {
  // Report lines, without indentation or line ends.
  std::vector<std::string> lines;
  // A section the service would run.
  bool active = false;
  // Active, and everything it needs answered: the service would work.
  bool ready = false;
};

// Reads the stored secret, looks at the connection server (one request
// that calls no action) and at the local API's "/health", as the worker
// would. Peer text in the lines is made fit for one line.
ProfileCheckResult CheckProfileSection(Env& env, const ProfileSectionReading& reading);

}  // namespace tolvenar
