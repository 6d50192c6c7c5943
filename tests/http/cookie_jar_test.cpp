#include "http/cookie_jar.h"

#include <gtest/gtest.h>

namespace tolvenar {
namespace {

TEST(CookieJar, KeepsNameValuePairsPerHostInOrder) {
  CookieJar jar;
  jar.Store("a.example", {{"Set-Cookie", "sid=abc; Path=/; HttpOnly"},
                          {"Content-Type", "text/plain"},
                          {"set-cookie", " lang = pt-BR "}});
  jar.Store("b.example", {{"Set-Cookie", "other=1"}});
  EXPECT_EQ(jar.HeaderValueFor("a.example"), "sid=abc; lang=pt-BR");
  EXPECT_EQ(jar.HeaderValueFor("b.example"), "other=1");
  EXPECT_EQ(jar.HeaderValueFor("c.example"), "");
}

TEST(CookieJar, ALaterValueReplacesTheEarlierOne) {
  CookieJar jar;
  jar.Store("h", {{"Set-Cookie", "sid=1"}, {"Set-Cookie", "x=2"}});
  jar.Store("h", {{"Set-Cookie", "sid=3"}});
  EXPECT_EQ(jar.HeaderValueFor("h"), "sid=3; x=2");
}

TEST(CookieJar, SkipsWhatCannotBeSentBack) {
  CookieJar jar;
  jar.Store("h", {{"Set-Cookie", "novalue"},
                  {"Set-Cookie", "=anonymous"},
                  {"Set-Cookie", std::string("nul=a\0b", 7)},
                  {"Set-Cookie", "tab=a\tb"},
                  {"Set-Cookie", "empty="}});
  EXPECT_EQ(jar.HeaderValueFor("h"), "empty=");
}

}  // namespace
}  // namespace tolvenar
