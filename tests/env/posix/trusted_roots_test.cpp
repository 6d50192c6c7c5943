// The shared store of trusted roots: built once per bundle, kept for an
// hour, built again after that, and left to curl when nothing can be read.
#include "env/posix/trusted_roots.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace tolvenar {
namespace {

using Clock = TrustedRootCache::Clock;
using namespace std::chrono_literals;

class TrustedRootCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = testing::StartTlsTestServer(
        [](const std::string&, const std::string&) { return testing::TlsAnswer{}; });
    ASSERT_NE(server_, nullptr);
  }
  std::unique_ptr<testing::TlsTestServer> server_;
  TrustedRootCache cache_;
  const Clock::time_point start_ = Clock::now();
};

TEST_F(TrustedRootCacheTest, OneStorePerBundleForAnHour) {
  const SharedRootStore first = cache_.Get(server_->CaFile(), "", start_);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache_.Get(server_->CaFile(), "", start_ + 59min), first);
  EXPECT_EQ(cache_.builds(), 1);

  const SharedRootStore renewed = cache_.Get(server_->CaFile(), "", start_ + 61min);
  ASSERT_NE(renewed, nullptr);
  EXPECT_NE(renewed, first);
  EXPECT_EQ(cache_.builds(), 2);
}

TEST_F(TrustedRootCacheTest, AnotherBundleGetsItsOwnStore) {
  const SharedRootStore first = cache_.Get(server_->CaFile(), "", start_);
  auto other = testing::StartTlsTestServer(
      [](const std::string&, const std::string&) { return testing::TlsAnswer{}; });
  const SharedRootStore second = cache_.Get(other->CaFile(), "", start_);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(cache_.builds(), 2);
}

TEST_F(TrustedRootCacheTest, NothingReadableGivesNoStore) {
  testing::TempDir dir;
  dir.Write("not-pem.txt", "no certificate here");
  EXPECT_EQ(cache_.Get(dir.File("missing.pem"), "", start_), nullptr);
  EXPECT_EQ(cache_.Get(dir.File("not-pem.txt"), "", start_), nullptr);
  EXPECT_EQ(cache_.Get("", "", start_), nullptr);
}

}  // namespace
}  // namespace tolvenar
