#include "env/windows/winhttp_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvenar {
namespace {

TEST(WinHttpHeadersTest, ParsesTheHeaderBlockInOrder) {
  struct Case {
    std::string raw;
    HttpHeaders expected;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nset-cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n",
       {{"Content-Type", "text/plain"}, {"set-cookie", "a=1"}, {"Set-Cookie", "b=2"}}},
      // Blanks around values go; those inside stay.
      {"HTTP/1.1 302 Found\r\nLocation: \t /next page \r\nX-Empty:\r\n\r\n",
       {{"Location", "/next page"}, {"X-Empty", ""}}},
      // A folded line continues the value before it.
      {"HTTP/1.1 200 OK\r\nX-Long: first\r\n  second\r\n\tthird\r\nX-After: 1\r\n\r\n",
       {{"X-Long", "first second third"}, {"X-After", "1"}}},
      // Lines that are no header are skipped; nothing after the blank line counts.
      {"HTTP/1.1 200 OK\r\nnot a header\r\n: no name\r\nA: 1\r\n\r\nB: 2\r\n", {{"A", "1"}}},
      {"HTTP/1.0 204 No Content\r\n\r\n", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseRawHeaders(c.raw), c.expected) << c.raw;
  }
}

TEST(WinHttpHeadersTest, AnsiBytesUndoTheWideningOfAscii) {
  EXPECT_EQ(AnsiBytes(L"Location: /a?b=c"), "Location: /a?b=c");
  EXPECT_EQ(AnsiBytes(L""), "");
}

}  // namespace
}  // namespace tolvenar
