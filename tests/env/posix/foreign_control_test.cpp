// What root finds when it looks at the files beside the executable: any
// hold another account has on them, links not followed.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "env/posix/env_posix.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using Kind = ForeignControl::Kind;
constexpr uid_t kNobody = 65534;

std::string UserName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

TEST(ForeignControlTest, FindsEachHoldOfAnotherAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root looks";
  struct Case {
    const char* name;
    std::function<void(const testing::TempDir&)> plant;
    const char* held;  // under the folder; "" the folder itself, ".." its parent
    Kind kind;
    std::string account;
  };
  const std::vector<Case> cases = {
      {"root's own", [](const testing::TempDir&) {}, nullptr, Kind::kOwner, ""},
      {"file of another account",
       [](const testing::TempDir& d) {
         ASSERT_EQ(::chown(d.File("app/ini").c_str(), kNobody, 0), 0);
       },
       "ini", Kind::kOwner, UserName(kNobody)},
      {"link of another account (not followed: its target is root's)",
       [](const testing::TempDir& d) {
         fs::create_symlink(d.File("app/ini"), d.path() / "app" / "log");
         ASSERT_EQ(::lchown(d.File("app/log").c_str(), kNobody, kNobody), 0);
       },
       "log", Kind::kOwner, UserName(kNobody)},
      {"root's link to another account's file (not followed)",
       [](const testing::TempDir& d) {
         d.Write("theirs", "x");
         ASSERT_EQ(::chown(d.File("theirs").c_str(), kNobody, kNobody), 0);
         fs::create_symlink(d.File("theirs"), d.path() / "app" / "log");
       },
       nullptr, Kind::kOwner, ""},
      {"folder another group may change, sticky or not",
       [](const testing::TempDir& d) {
         ASSERT_EQ(::chown(d.File("app").c_str(), 0, kNobody), 0);
         ASSERT_EQ(::chmod(d.File("app").c_str(), 01770), 0);
       },
       "", Kind::kGroupWritable, GroupName(kNobody)},
      {"file root's group may change",
       [](const testing::TempDir& d) { ASSERT_EQ(::chmod(d.File("app/ini").c_str(), 0664), 0); },
       nullptr, Kind::kOwner, ""},
      {"file any account may change",
       [](const testing::TempDir& d) { ASSERT_EQ(::chmod(d.File("app/ini").c_str(), 0646), 0); },
       "ini", Kind::kOtherWritable, ""},
      {"parent of another account's (it can swap the folder)",
       [](const testing::TempDir& d) { ASSERT_EQ(::chown(d.Dir().c_str(), kNobody, 0), 0); }, "..",
       Kind::kOwner, UserName(kNobody)},
      {"parent any account may change, without sticky bit",
       [](const testing::TempDir& d) { ASSERT_EQ(::chmod(d.Dir().c_str(), 0777), 0); }, "..",
       Kind::kOtherWritable, ""},
      {"parent any account may change, with sticky bit (like /tmp)",
       [](const testing::TempDir& d) { ASSERT_EQ(::chmod(d.Dir().c_str(), 01777), 0); }, nullptr,
       Kind::kOwner, ""},
  };
  PosixEnv env;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::TempDir dir;
    ASSERT_EQ(::chmod(dir.Dir().c_str(), 0755), 0);
    fs::create_directory(dir.path() / "app");
    ASSERT_EQ(::chmod(dir.File("app").c_str(), 0755), 0);
    dir.Write("app/ini", "[Connector]\n");
    ASSERT_EQ(::chmod(dir.File("app/ini").c_str(), 0600), 0);
    c.plant(dir);
    if (HasFatalFailure()) return;
    const std::string folder = dir.File("app") + "/";
    const std::optional<ForeignControl> hold =
        env.FindForeignControl({folder + "ini", folder + "log", folder});
    ::chmod(dir.Dir().c_str(), 0755);
    if (c.held == nullptr) {
      EXPECT_FALSE(hold) << hold->path;
      continue;
    }
    ASSERT_TRUE(hold);
    const std::string held = std::string(c.held) == ".."
                                 ? dir.File("app").substr(0, dir.File("app").rfind('/'))
                             : *c.held == '\0' ? folder
                                               : folder + c.held;
    EXPECT_EQ(hold->path, held);
    EXPECT_EQ(hold->kind, c.kind);
    EXPECT_EQ(hold->account, c.account);
  }
}

TEST(ForeignControlTest, NoOneButRootIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "run as root";
  const testing::TempDir dir;
  ASSERT_EQ(::chmod(dir.Dir().c_str(), 0777), 0);
  PosixEnv env;
  EXPECT_FALSE(env.FindForeignControl({dir.Dir()}));
}

}  // namespace
}  // namespace tolvenar
