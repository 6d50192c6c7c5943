// The check mode: a diagnosis of TolvenarConnector.ini for the people who
// set the connector up.
#pragma once

#include "diagnosis/profile_check.h"

namespace tolvenar {

class Env;

// Reads the profiles as the service would and writes, for each profile
// section, what the service would do with it and whether its server, its
// local API and its stored secret work. Writes no file and no log entry,
// spends no enrollment code and takes no command; every text from the file
// or a peer is cleaned as a log line is. Profiles are checked side by side,
// so the run ends within the longer of `limits` (plus the local work).
// Returns 0 when every active profile would work (and there is at least
// one), 1 otherwise.
int RunCheck(Env& env, const ProfileCheckLimits& limits = {});

}  // namespace tolvenar
