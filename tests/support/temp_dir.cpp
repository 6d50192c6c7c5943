#include "support/temp_dir.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace tolvenar::testing {

namespace fs = std::filesystem;

std::string PathToUtf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

fs::path Utf8ToPath(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        base / ("tc-test-" + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1)));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder in " + PathToUtf8(base));
}

TempDir::~TempDir() {
  std::error_code error;
  // Read-only files (a read-only attribute on Windows) would stop the removal.
  for (fs::recursive_directory_iterator it(path_, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, error);
}

std::string TempDir::Dir() const { return PathToUtf8(path_ / ""); }

std::string TempDir::File(std::string_view name) const {
  return PathToUtf8(path_ / Utf8ToPath(name));
}

void TempDir::Write(std::string_view name, std::string_view bytes) const {
  std::ofstream out(path_ / Utf8ToPath(name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + File(name));
}

std::string TempDir::Read(std::string_view name) const {
  std::ifstream in(path_ / Utf8ToPath(name), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + File(name));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tolvenar::testing
