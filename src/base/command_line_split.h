// Splitting a raw command line into its parameters, by the connector's own
// rule (not the C runtime's), so that every platform reads switches alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvenar {

// Characters up to U+0020 separate parameters, a double quote opens or
// closes a quoted run in which they do not, the quotes are dropped, there is
// no escape character. Element 0 is the program.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

}  // namespace tolvenar
