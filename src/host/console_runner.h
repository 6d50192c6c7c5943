// Console mode: the connector runs until ENTER or the end of input.
#pragma once

#include <string_view>

#include "messages/messages.h"

namespace tolvenar {

class Env;

constexpr std::string_view kConsoleLine = kMsgConsoleLine;

// Starts the manager, writes the console line, waits for one line of input,
// stops. Errors pass out after the manager has been freed.
void RunConsole(Env& env);

}  // namespace tolvenar
