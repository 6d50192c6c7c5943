// The data protection of Windows: DPAPI in local-machine scope, which ties a
// block to this computer and to no user account.
#include <windows.h>
// wincrypt.h takes its types from windows.h.
#include <wincrypt.h>

#include <memory>
#include <string>

#include "base/exception.h"
#include "env/data_protector.h"
#include "env/windows/env_windows.h"

namespace tolvenar {
namespace {

constexpr wchar_t kDescription[] = L"TolvenarConnector";

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
template <typename T>
using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

// The system's text for `code`, "" when it has none.
std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  LocalPtr<wchar_t> owned(buffer);
  if (length == 0 || !buffer) return "";
  return WideToUtf8(std::wstring_view(buffer, length));
}

[[noreturn]] void RaiseLastError() {
  const DWORD code = GetLastError();
  throw EOSError(static_cast<int>(code), SystemMessage(code));
}

DATA_BLOB InputBlob(const std::string& bytes) {
  DATA_BLOB blob;
  blob.cbData = static_cast<DWORD>(bytes.size());
  blob.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
  return blob;
}

// Copies the platform's output into our own memory; `data` releases it.
std::string TakeOutput(const DATA_BLOB& output) {
  LocalPtr<BYTE> data(output.pbData);
  return std::string(reinterpret_cast<const char*>(data.get()), output.cbData);
}

class DpapiProtector : public DataProtector {
 public:
  std::string Protect(const std::string& plain) override {
    DATA_BLOB input = InputBlob(plain);
    DATA_BLOB output{0, nullptr};
    if (!CryptProtectData(&input, kDescription, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE, &output)) {
      RaiseLastError();
    }
    return TakeOutput(output);
  }

  std::string Unprotect(const std::string& block) override {
    DATA_BLOB input = InputBlob(block);
    DATA_BLOB output{0, nullptr};
    if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_LOCAL_MACHINE,
                            &output)) {
      RaiseLastError();
    }
    return TakeOutput(output);
  }
};

}  // namespace

std::unique_ptr<DataProtector> NewDpapiProtector() { return std::make_unique<DpapiProtector>(); }

}  // namespace tolvenar
