// Root never runs the connector on files another account controls: that
// account could have put a link to root's own files at the log's name, or
// written the profiles file that root's run would act on.
#pragma once

#include <string>

namespace tolvenar {

class Env;

// Raises Exception with the operator's message when the process runs as
// root and the executable's folder, TolvenarConnector.ini or
// TolvenarConnector.log belongs to another account or may be changed by
// one; the message names it and the command that runs the program as that
// account with `switch_text` ("-console", "-check", or "" for the service).
// Called before anything in the folder is opened.
void RefuseFilesOfOtherAccounts(Env& env, const std::string& switch_text);

}  // namespace tolvenar
