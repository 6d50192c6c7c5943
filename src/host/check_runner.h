// The check mode: a diagnosis of TolvenarConnector.ini for the people who
// set the connector up.
#pragma once

namespace tolvenar {

class Env;

// Reads the profiles as the service would and writes, for each profile
// section, what the service would do with it and whether its server, its
// local API and its stored secret work. Writes no file and no log entry and
// calls no server action. Returns 0 when every active profile would work
// (and there is at least one), 1 otherwise.
int RunCheck(Env& env);

}  // namespace tolvenar
