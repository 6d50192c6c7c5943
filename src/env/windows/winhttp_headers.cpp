#include "env/windows/winhttp_headers.h"

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

#include "base/text.h"

namespace tolvenar {
std::string AnsiBytes(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

HttpHeaders ParseRawHeaders(std::string_view raw) {
  HttpHeaders headers;
  bool status_line = true;
  while (!raw.empty()) {
    const size_t end = raw.find('\n');
    std::string_view line = raw.substr(0, end);
    raw = end == std::string_view::npos ? std::string_view() : raw.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (status_line) {
      status_line = false;
      continue;
    }
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (!headers.empty()) {
        std::string& value = headers.back().second;
        const std::string_view more = TrimSpacesAndTabs(line);
        if (!value.empty() && !more.empty()) value += ' ';
        value += more;
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    headers.emplace_back(std::string(TrimSpacesAndTabs(line.substr(0, colon))),
                         std::string(TrimSpacesAndTabs(line.substr(colon + 1))));
  }
  return headers;
}

}  // namespace tolvenar
