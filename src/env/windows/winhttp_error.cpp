#include "env/windows/winhttp_error.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>

#include "env/windows/env_windows.h"

namespace tolvenar {
namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t* memory) const { LocalFree(memory); }
};

std::wstring FormatFrom(DWORD source, HMODULE module, DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source,
                     module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> owned(buffer);
  if (length == 0 || !buffer) return {};
  return std::wstring(buffer, length);
}

// Windows' texts of the errors a request commonly meets, for a winhttp.dll
// that carries no message table of its own.
const wchar_t* KnownText(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
      return L"The operation timed out";
    case ERROR_WINHTTP_INTERNAL_ERROR:
      return L"An internal error occurred in the Microsoft Windows HTTP Services";
    case ERROR_WINHTTP_INVALID_URL:
      return L"The URL is invalid";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return L"The URL does not use a recognized protocol";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return L"The server name or address could not be resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return L"A connection with the server could not be established";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return L"The connection with the server was terminated abnormally";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return L"The server returned an invalid or unrecognized response";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return L"An error occurred in the secure channel support";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return L"A security error occurred";
    default:
      return nullptr;
  }
}

}  // namespace

std::string WinHttpErrorText(DWORD code) {
  std::wstring text;
  if (HMODULE winhttp = GetModuleHandleW(L"winhttp.dll")) {
    text = FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, winhttp, code);
  }
  if (text.empty()) text = FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (text.empty()) {
    if (const wchar_t* known = KnownText(code)) text = known;
  }
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return WideToUtf8(text);
}

std::string WinHttpFailureMessage(std::string_view what, DWORD code) {
  std::string message(what);
  message += ": (" + std::to_string(code) + ") " + WinHttpErrorText(code);
  return message;
}

bool IsCertificateRejection(DWORD code, DWORD secure_failure_flags) {
  switch (code) {
    case ERROR_WINHTTP_SECURE_FAILURE:
      // A failure of the secure channel alone is a TLS failure, not a
      // verdict on the certificate.
      return secure_failure_flags == 0 ||
             (secure_failure_flags & ~WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR) != 0;
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
      return true;
    default:
      return false;
  }
}

}  // namespace tolvenar
