#include "env/windows/winhttp_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace tolvenar {
namespace {

// The account's settings, released with it.
struct AccountProxyConfig {
  bool auto_detect = false;
  GlobalString auto_config_url;
  GlobalString proxy;
  GlobalString bypass;
};

bool ReadAccountProxyConfig(AccountProxyConfig* config) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG raw = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&raw)) return false;
  config->auto_detect = raw.fAutoDetect != FALSE;
  config->auto_config_url.reset(raw.lpszAutoConfigUrl);
  config->proxy.reset(raw.lpszProxy);
  config->bypass.reset(raw.lpszProxyBypass);
  return true;
}

void SetProxy(HINTERNET request, DWORD access_type, wchar_t* proxy, wchar_t* bypass) {
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = access_type;
  info.lpszProxy = proxy;
  info.lpszProxyBypass = bypass;
  // When the option cannot be set the session's default stays in force.
  WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info));
}

// The script's (or discovery's) answer for `url`; false when none applies.
bool ApplyAutomaticProxy(HINTERNET session, HINTERNET request, const std::wstring& url,
                         const AccountProxyConfig& config) {
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (config.auto_config_url) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = config.auto_config_url.get();
  }
  if (config.auto_detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = FALSE;
  // Answers before it returns even on the asynchronous session: no
  // completion comes for it.
  WINHTTP_PROXY_INFO found = {};
  if (!WinHttpGetProxyForUrl(session, url.c_str(), &options, &found)) return false;
  GlobalString proxy(found.lpszProxy);
  GlobalString bypass(found.lpszProxyBypass);
  SetProxy(request, found.dwAccessType, proxy.get(), bypass.get());
  return true;
}

}  // namespace

// Asynchronous: every request waits for its own completion notifications,
// so that nothing but WinHTTP's own pool runs beside the caller's thread.
WinHttpSession OpenWinHttpSession(const wchar_t* agent) {
  WinHttpSession session;
  session.handle.reset(WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                   WINHTTP_FLAG_ASYNC));
  if (session.handle) {
    session.automatic_proxy = true;
    return session;
  }
  // Before Windows 8.1 the account's settings are read for each request.
  session.handle.reset(WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  return session;
}

void ApplyAccountProxy(HINTERNET session, HINTERNET request, const std::wstring& url) {
  AccountProxyConfig config;
  if (!ReadAccountProxyConfig(&config)) return;
  if ((config.auto_detect || config.auto_config_url) &&
      ApplyAutomaticProxy(session, request, url, config)) {
    return;
  }
  if (config.proxy && *config.proxy) {
    SetProxy(request, WINHTTP_ACCESS_TYPE_NAMED_PROXY, config.proxy.get(), config.bypass.get());
    return;
  }
  SetProxy(request, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr);
}

}  // namespace tolvenar
