#include "env/windows/env_windows.h"

#include <windows.h>

#include "base/command_line_split.h"
#include "env/windows/winhttp_transport.h"

namespace tolvenar {

Env* Env::Default() {
  static WindowsEnv* env = new WindowsEnv();  // lives as long as the process
  return env;
}

WindowsEnv::WindowsEnv() {
  // The regional settings in force when the process started.
  wchar_t separator[8] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIME, separator, 8) > 1) {
    time_separator_ = WideToUtf8(std::wstring_view(separator, 1));
  } else {
    time_separator_ = ":";
  }
}

WindowsEnv::~WindowsEnv() = default;

static std::wstring ModulePath(HMODULE module) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string WindowsEnv::ExecutableDir() {
  const std::wstring path = ModulePath(nullptr);
  return WideToUtf8(path.substr(0, path.find_last_of(L"\\/") + 1));
}

std::string WindowsEnv::ExecutableName() {
  const std::wstring path = ModulePath(nullptr);
  return WideToUtf8(path.substr(path.find_last_of(L"\\/") + 1));
}

std::vector<std::string> WindowsEnv::CommandLineParams() {
  // The raw line, split by the connector's own rule, not the C runtime's.
  std::vector<std::string> params = SplitCommandLine(WideToUtf8(GetCommandLineW()));
  if (!params.empty()) params.erase(params.begin());
  return params;
}

bool WindowsEnv::SameTextIgnoreCase(std::string_view a, std::string_view b) {
  const std::wstring wa = Utf8ToWide(a);
  const std::wstring wb = Utf8ToWide(b);
  return CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wa.data(),
                         static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                         nullptr, nullptr, 0) == CSTR_EQUAL;
}

void WindowsEnv::ModuleOfAddress(const void* address, std::string* module_name,
                                 unsigned long long* offset) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    module = GetModuleHandleW(nullptr);
  }
  const std::wstring path = ModulePath(module);
  *module_name = WideToUtf8(path.substr(path.find_last_of(L"\\/") + 1));
  *offset =
      reinterpret_cast<unsigned long long>(address) - reinterpret_cast<unsigned long long>(module);
}

LocalTime WindowsEnv::Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::string WindowsEnv::TimeSeparator() { return time_separator_; }

void WindowsEnv::SleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

DataProtector& WindowsEnv::Protector() {
  static std::unique_ptr<DataProtector> protector = NewDpapiProtector();
  return *protector;
}

std::unique_ptr<HttpTransport> WindowsEnv::NewHttpTransport() { return NewWinHttpTransport(); }

}  // namespace tolvenar
