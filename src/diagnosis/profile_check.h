// The diagnosis of one profile section: what the service would do with it,
// found without changing anything (no file, no log, no code spent, no
// command taken).
#pragma once

#include <chrono>
#include <string>
#include <string_view>
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

// How long each look may take, whatever the peer does. The two run side by
// side, so a profile's check ends within the longer of them.
struct ProfileCheckLimits {
  // One connect and one wait for data of a server exchange: a server slow
  // within what the worker accepts still passes.
  std::chrono::milliseconds server{55000};
  // The local API's "/health": a few seconds more than its own time-outs.
  std::chrono::milliseconds local_api{10000};
};

// Reads the stored secret, checks that a secret can be protected here,
// looks at the connection server where the worker talks to it (the poll
// action, without a secret) and at the local API's "/health", and judges
// each as the worker would.
ProfileCheckResult CheckProfileSection(Env& env, const ProfileSectionReading& reading,
                                       const ProfileCheckLimits& limits = {});

}  // namespace tolvenar
