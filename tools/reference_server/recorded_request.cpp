#include "reference_server/recorded_request.h"

#include <algorithm>
#include <cctype>

namespace tolvenar::tools {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::string RecordedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (SameName(key, name)) return value;
  return std::string();
}

bool RecordedRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& header) { return SameName(header.first, name); });
}

}  // namespace tolvenar::tools
