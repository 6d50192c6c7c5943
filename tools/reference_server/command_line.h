// Command-line handling shared by the two reference server programs.
#pragma once

#include <string>
#include <vector>

namespace tolvenar::tools {

struct Flag {
  std::string name;  // without the leading "--"
  std::string value;
};

// Reads "--name value" and "--name=value"; "--help" is returned with an
// empty value. Raises std::invalid_argument for anything else, or for a
// name missing from `known`.
std::vector<Flag> ParseFlags(int argc, char** argv, const std::vector<std::string>& known);

// Decimal integer; raises std::invalid_argument naming `what` otherwise.
int ParseInt(const std::string& text, const std::string& what);

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread it
// starts afterwards; call it first in main.
void BlockStopSignals();
// Waits for one of those signals.
void WaitForStopSignal();

// Writes the port number to `path` (through a rename, so a reader never
// sees half a number).
void WritePortFile(const std::string& path, int port);

}  // namespace tolvenar::tools
