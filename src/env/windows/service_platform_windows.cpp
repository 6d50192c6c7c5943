#include <objbase.h>

#include "base/exception.h"
#include "env/windows/env_windows.h"
#include "env/windows/service_windows.h"

namespace tolvenar {

void WindowsServicePlatform::InitializeThread() {
  // Single-threaded apartment for the main thread, whose message loop
  // serves it; the result does not matter to the host.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

std::string WindowsServicePlatform::ErrorText(uint32_t code) { return WindowsErrorText(code); }

std::string WindowsErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", length);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return WideToUtf8(text);
}

void RaiseWindowsError(DWORD code) {
  throw EOSError(static_cast<int>(code), WindowsErrorText(code));
}

std::unique_ptr<ServicePlatform> NewServicePlatform(Env&) {
  return std::make_unique<WindowsServicePlatform>();
}

}  // namespace tolvenar
