// Whether root, about to use the files beside the executable, would act on
// another account's choice: a file it owns, or a folder it may change (and
// so fill with links to root's own files).
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "env/posix/env_posix.h"

namespace tolvenar {

namespace {

std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Another account's hold on `path` as `st` shows it. `entries_protected`:
// a sticky folder, whose entries others can neither rename nor remove; it
// matters only for an ancestor, whose entry leading on is root's.
std::optional<ForeignControl> HoldOf(const std::string& path, const struct stat& st,
                                     bool entries_protected) {
  if (st.st_uid != 0) {
    return ForeignControl{path, ForeignControl::Kind::kOwner, UserName(st.st_uid)};
  }
  // A link's own mode means nothing; only its owner can change it.
  if (entries_protected || S_ISLNK(st.st_mode)) return std::nullopt;
  // The root group's members are root's own; any other group is not.
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0) {
    return ForeignControl{path, ForeignControl::Kind::kGroupWritable, GroupName(st.st_gid)};
  }
  if ((st.st_mode & S_IWOTH) != 0) {
    return ForeignControl{path, ForeignControl::Kind::kOtherWritable, ""};
  }
  return std::nullopt;
}

}  // namespace

std::optional<ForeignControl> PosixEnv::FindForeignControl(const std::vector<std::string>& paths) {
  if (::geteuid() != 0) return std::nullopt;
  for (const std::string& requested : paths) {
    const std::string path = WithoutTrailingSlashes(requested);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;  // not there: nothing to follow
    if (auto hold = HoldOf(requested, st, false)) return hold;
    if (!S_ISDIR(st.st_mode)) continue;
    // Whoever may rename an ancestor's entries may put another folder in
    // this one's place.
    for (std::string ancestor = ParentOf(path);; ancestor = ParentOf(ancestor)) {
      struct stat up {};
      if (::lstat(ancestor.c_str(), &up) != 0) break;
      if (auto hold = HoldOf(ancestor, up, (up.st_mode & S_ISVTX) != 0)) return hold;
      if (ancestor == "/") break;
    }
  }
  return std::nullopt;
}

}  // namespace tolvenar
