#include "support/e2e_targets.h"

#include <filesystem>

#include "support/process.h"

namespace tolvenar::testing {

bool ConnectorTarget::available() const { return std::filesystem::exists(built_path); }

void ConnectorTarget::InstallInto(const TempDir& dir) const {
  std::filesystem::copy_file(built_path, dir.path() / executable_name,
                             std::filesystem::copy_options::overwrite_existing);
}

std::vector<std::string> ConnectorTarget::Command(const TempDir& dir,
                                                  const std::vector<std::string>& args) const {
  std::vector<std::string> command;
  if (under_wine) command.push_back(WineRunner());
  command.push_back(dir.File(executable_name));
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::vector<ConnectorTarget> ConnectorTargets() {
  std::vector<ConnectorTarget> targets;
  targets.push_back({"Linux", TC_CONNECTOR_EXE, "TolvenarConnector", false});
  const std::string windows_dir = TC_WINDOWS_BUILD_DIR;
  if (!windows_dir.empty()) {
    targets.push_back(
        {"Windows", windows_dir + "/TolvenarConnector.exe", "TolvenarConnector.exe", true});
  }
  return targets;
}

}  // namespace tolvenar::testing
