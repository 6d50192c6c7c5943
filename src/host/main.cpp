// The program TolvenarConnector: console mode with the switch "console",
// the diagnosis with "check", service mode otherwise.
#include "env/env.h"
#include "host/check_runner.h"
#include "host/command_line.h"
#include "host/console_runner.h"
#include "host/error_report.h"
#include "host/foreign_files_guard.h"
#include "host/service_mode.h"

int main() {
  tolvenar::Env& env = *tolvenar::Env::Default();
  int exit_code = 0;
  try {
    if (tolvenar::HasCommandLineSwitch(env, "console")) {
      tolvenar::RefuseFilesOfOtherAccounts(env, "-console");
      tolvenar::RunConsole(env);
    } else if (tolvenar::HasCommandLineSwitch(env, "check")) {
      tolvenar::RefuseFilesOfOtherAccounts(env, "-check");
      exit_code = tolvenar::RunCheck(env);
    } else {
      // Installing writes the unit, beside none of the files; running the
      // service reads and writes them.
      if (!tolvenar::HasCommandLineSwitch(env, "INSTALL") &&
          !tolvenar::HasCommandLineSwitch(env, "UNINSTALL")) {
        tolvenar::RefuseFilesOfOtherAccounts(env, "");
      }
      exit_code = tolvenar::RunServiceMode(env);
    }
  } catch (...) {
    tolvenar::ReportUnhandledError(env);
    return 1;
  }
  return exit_code;
}
