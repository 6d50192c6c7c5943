// TempDir: a new, empty folder for one test, removed with everything in it
// when the object goes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvenar::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as UTF-8 text, with a trailing path separator, in the form
  // Env::ExecutableDir() gives.
  std::string Dir() const;
  // The UTF-8 path of `name` inside the folder.
  std::string File(std::string_view name) const;

  // Whole-file helpers for fixtures; both raise on failure.
  void Write(std::string_view name, std::string_view bytes) const;
  std::string Read(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// A path as UTF-8 text, and back.
std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(std::string_view text);

}  // namespace tolvenar::testing
