#include <windows.h>
#include <winioctl.h>

#include <stdexcept>

#include "env/platform_env.h"
#include "env/windows/env_windows.h"

namespace tolvenar::testing {

// DPAPI keeps its keys itself: nothing to move aside.
std::unique_ptr<Env> NewPlatformEnv(const std::string&) { return std::make_unique<WindowsEnv>(); }

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void MakeSparseFile(const std::string& path, uint64_t size) {
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
  // Without the sparse flag NTFS reserves the whole size; Wine may not know
  // the request, and its files are sparse on Linux anyway.
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!sized) throw std::runtime_error("cannot size " + path);
}

}  // namespace tolvenar::testing
