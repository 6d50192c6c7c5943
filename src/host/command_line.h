// Command-line switches: "-name" or "/name", the name compared ignoring case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvenar {

class Env;

// Splits a raw command line: characters up to U+0020 separate parameters, a
// double quote opens or closes a quoted run in which they do not, the quotes
// are dropped, there is no escape character. Element 0 is the program.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// True when one of `params` is "-" or "/" followed by exactly `name`,
// compared by `same_text` (the locale's case-insensitive comparison).
bool HasSwitch(const std::vector<std::string>& params, std::string_view name, Env& env);

// The process's own command line, through the Env.
bool HasCommandLineSwitch(Env& env, std::string_view name);

}  // namespace tolvenar
