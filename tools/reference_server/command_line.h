// Command-line handling shared by the two reference server programs.
#pragma once

#include <string>
#include <vector>

#include "reference_server/listen_options.h"

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

// Where to listen, from the flags both programs take: --host, --port,
// --cert and --key (which go together) and --port-file.
struct ListenFlags {
  ListenOptions listen;
  std::string port_file;

  // Takes `flag` when it is one of those; false otherwise.
  bool Take(const Flag& flag);
  // Raises std::invalid_argument for --cert without --key or the reverse.
  void Check() const;
};

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread it
// starts afterwards; call it first in main.
void BlockStopSignals();
// Waits for one of those signals.
void WaitForStopSignal();

// Writes the port number to `path` (through a rename, so a reader never
// sees half a number).
void WritePortFile(const std::string& path, int port);

}  // namespace tolvenar::tools
