// The two connector executables that end-to-end tests run: the Linux one
// natively and the Windows one under Wine. Each test copies the executable
// into its own folder, since the program reads its files beside itself.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tolvenar::testing {

struct ConnectorTarget {
  std::string name;             // "Linux" or "Windows"
  std::string built_path;       // the executable as built
  std::string executable_name;  // its file name
  bool under_wine = false;

  bool available() const;
  // Copies the executable into `dir`.
  void InstallInto(const TempDir& dir) const;
  // The command line that runs the copy in `dir` with `args`.
  std::vector<std::string> Command(const TempDir& dir, const std::vector<std::string>& args) const;
};

std::vector<ConnectorTarget> ConnectorTargets();

}  // namespace tolvenar::testing
