// The proxy decision for each request, from the configuration of the
// account that runs the program. No proxy credentials are ever sent.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "env/windows/winhttp_handle.h"

namespace tolvenar {

struct WinHttpSession {
  WinHttpHandle handle;
  // True when WinHTTP itself applies the account's proxy settings to every
  // request (Windows 8.1 and later); otherwise ApplyAccountProxy does.
  bool automatic_proxy = false;
};

// Opens the session, asynchronous (WINHTTP_FLAG_ASYNC), with the given
// agent; a null handle when WinHTTP cannot start.
WinHttpSession OpenWinHttpSession(const wchar_t* agent);

// For a session without automatic proxy: the account's configuration
// (automatic configuration script, automatic discovery, or a fixed proxy
// with its bypass list) decides the proxy of `request`; when none applies
// the connection is direct.
void ApplyAccountProxy(HINTERNET session, HINTERNET request, const std::wstring& url);

}  // namespace tolvenar
