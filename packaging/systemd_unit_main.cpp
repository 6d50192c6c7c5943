// Prints the systemd unit that "TolvenarConnector -install" writes for the
// executable at the path given, so that the Debian package ships the very
// same unit.
#include <cstdio>
#include <string>

#include "host/service_mode.h"
#include "env/env.h"
#include "env/posix/service_posix.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] != '/') {
    std::fprintf(stderr, "usage: tc_systemd_unit /full/path/of/TolvenarConnector\n");
    return 2;
  }
  tolvenar::Env& env = *tolvenar::Env::Default();
  const std::string text = tolvenar::SystemdUnitText(
      tolvenar::ConnectorInstallRequest(env, argv[1]), tolvenar::SystemdOptions{});
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0
             ? 0
             : 1;
}
