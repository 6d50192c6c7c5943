// The cookies of one exchange: what its answers set with "Set-Cookie" goes
// back on its later requests (redirects) to the same host, and nowhere else.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "env/http_transport.h"

namespace tolvenar {

class CookieJar {
 public:
  // Keeps the name=value of every "Set-Cookie" of an answer from `host`;
  // attributes are ignored, a cookie of the same name and host is replaced.
  // Cookies with an empty name or with control characters are skipped.
  void Store(std::string_view host, const HttpHeaders& answer_headers);

  // "a=1; b=2" for the cookies `host` set, in the order first set; empty
  // when there are none.
  std::string HeaderValueFor(std::string_view host) const;

 private:
  struct Cookie {
    std::string host;
    std::string name;
    std::string value;
  };
  std::vector<Cookie> cookies_;
};

}  // namespace tolvenar
