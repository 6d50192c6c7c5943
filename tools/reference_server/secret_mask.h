// What the admin routes show in place of credentials. The servers keep what
// they received whole (tests compare it in-process); only the admin views
// and the readable reports hide it, so that a reference setup never puts a
// connector secret, an enrollment code or a relayed login on display.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tolvenar::tools {

// "X-Tolvenar-Connector", "Authorization" and "X-Tolvenar-Session", in any
// letter case.
bool IsSecretHeader(std::string_view name);

// "***" for a value that is there; "" stays "", so its absence still shows.
std::string MaskSecret(std::string_view value);

// `json` with the value of every object member named in `names`, at any
// depth, replaced by MaskSecret of it. Text that is no JSON, or that holds
// none of those members, comes back as it was.
std::string MaskJsonMembers(const std::string& json, std::initializer_list<std::string_view> names);

}  // namespace tolvenar::tools
