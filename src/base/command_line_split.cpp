#include "base/command_line_split.h"

namespace tolvenar {

std::vector<std::string> SplitCommandLine(std::string_view command_line) {
  std::vector<std::string> params;
  size_t i = 0;
  const size_t n = command_line.size();
  for (;;) {
    while (i < n && static_cast<unsigned char>(command_line[i]) <= 0x20) ++i;
    if (i >= n) break;
    std::string param;
    bool quoted = false;
    while (i < n) {
      const char c = command_line[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && static_cast<unsigned char>(c) <= 0x20) {
        break;
      } else {
        param.push_back(c);
      }
      ++i;
    }
    params.push_back(std::move(param));
  }
  return params;
}

}  // namespace tolvenar
