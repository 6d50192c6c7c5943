#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

#include "env/windows/env_windows.h"

namespace tolvenar {

// Invalid input sequences become U+FFFD; neither direction fails.
std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), wide_length);
  return wide;
}

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int utf8_length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(utf8_length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), utf8_length, nullptr, nullptr);
  return utf8;
}

}  // namespace tolvenar
