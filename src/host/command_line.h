// Command-line switches: "-name" or "/name", the name compared ignoring case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// SplitCommandLine, for the host's callers.
#include "base/command_line_split.h"

namespace tolvenar {

class Env;

// True when one of `params` is "-" or "/" followed by exactly `name`,
// compared by `same_text` (the locale's case-insensitive comparison).
bool HasSwitch(const std::vector<std::string>& params, std::string_view name, Env& env);

// The process's own command line, through the Env.
bool HasCommandLineSwitch(Env& env, std::string_view name);

// What a person who ran `program` by hand with no known switch reads on
// standard error: the switches, one a line, each line ending in CR LF.
std::string UsageText(std::string_view program);

}  // namespace tolvenar
