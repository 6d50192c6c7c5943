// Console streams on Windows: the console's output code page when standard
// output is a console, the ANSI code page when it is redirected; the error
// report in the OEM code page.
#include <windows.h>

#include "base/exception.h"
#include "env/windows/env_windows.h"

namespace tolvenar {

static std::string ToCodePage(std::string_view utf8, UINT code_page) {
  const std::wstring wide = Utf8ToWide(utf8);
  if (wide.empty()) return std::string();
  const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

static std::string LastErrorText() { return "I/O error " + std::to_string(GetLastError()); }

static void WriteHandle(DWORD which, const std::string& bytes) {
  HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) throw EInOutError(LastErrorText());
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr)) {
      throw EInOutError(LastErrorText());
    }
    done += written;
  }
  FlushFileBuffers(handle);
}

static bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

void WindowsEnv::WriteStdOut(std::string_view text) {
  const UINT code_page = IsConsole(STD_OUTPUT_HANDLE) ? GetConsoleOutputCP() : GetACP();
  WriteHandle(STD_OUTPUT_HANDLE, ToCodePage(text, code_page));
}

void WindowsEnv::WriteStdErr(std::string_view text) {
  WriteHandle(STD_ERROR_HANDLE, ToCodePage(text, GetOEMCP()));
}

void WindowsEnv::ReadLineFromStdIn() {
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) throw EInOutError(LastErrorText());
  // Byte by byte, so nothing after the line feed is consumed.
  for (;;) {
    char c = 0;
    DWORD read = 0;
    if (!::ReadFile(handle, &c, 1, &read, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return;  // writer closed: end of input
      throw EInOutError(LastErrorText());
    }
    if (read == 0 || c == '\n') return;
  }
}

}  // namespace tolvenar
