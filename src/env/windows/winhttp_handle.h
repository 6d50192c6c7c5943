// Owning references to WinHTTP handles and to the memory WinHTTP hands out.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <type_traits>

namespace tolvenar {

struct WinHttpHandleCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using WinHttpHandle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, WinHttpHandleCloser>;

// Strings that WinHTTP allocates for the caller are released with GlobalFree.
struct GlobalFreeDeleter {
  void operator()(void* memory) const { GlobalFree(memory); }
};
using GlobalString = std::unique_ptr<wchar_t, GlobalFreeDeleter>;

}  // namespace tolvenar
