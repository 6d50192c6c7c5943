// Failure messages of the WinHTTP transport.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tolvenar {

// The failure of a request for a reason WinHTTP gives no code for.
inline constexpr char kWinHttpUnknownFailure[] =
    "Execution of request terminated with unknown error";

// WinHTTP's text for `code` (winhttp.dll's messages, then the system's), in
// UTF-8, without trailing blanks, line breaks or full stop.
std::string WinHttpErrorText(DWORD code);

// "<what>: (<code>) <text>", e.g. "Error sending data: (12029) A connection
// with the server could not be established".
std::string WinHttpFailureMessage(std::string_view what, DWORD code);

// True for the errors by which WinHTTP rejects a server certificate.
// `secure_failure_flags` are those of WINHTTP_CALLBACK_STATUS_SECURE_FAILURE.
bool IsCertificateRejection(DWORD code, DWORD secure_failure_flags);

}  // namespace tolvenar
