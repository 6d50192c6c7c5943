// WindowsEnv's file services.
#include <windows.h>
// <windows.h> maps ReplaceFile onto ReplaceFileW; here it names the Env
// method, declared in env_windows.h below.
#undef ReplaceFile

#include <atomic>
#include <string>

#include "platform/windows/env_windows.h"

namespace tolvenar {

namespace {

// Closes a file handle when it leaves scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now, reporting the result.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// A new, empty file beside `path` that no one else has opened.
FileHandle CreateTempBeside(const std::wstring& path, std::wstring* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = path + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter.fetch_add(1)) + L".tmp";
    FileHandle file(::CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return FileHandle(INVALID_HANDLE_VALUE);
}

}  // namespace

bool WindowsEnv::FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WindowsEnv::ReadFile(const std::string& path, std::string* bytes) {
  FileHandle file(::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  std::string content;
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) break;
    content.append(buffer, n);
  }
  *bytes = std::move(content);
  return true;
}

bool WindowsEnv::ReplaceFile(const std::string& path, const std::string& bytes) {
  const std::wstring target = Utf8ToWide(path);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }

  std::wstring temp;
  FileHandle file = CreateTempBeside(target, &temp);
  if (!file.valid()) return false;
  bool ok = WriteAll(file.get(), bytes) && ::FlushFileBuffers(file.get()) != 0;
  ok = file.Close() && ok;
  // One rename over the old file: readers see the old or the new file whole.
  ok = ok && ::MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) ::DeleteFileW(temp.c_str());
  return ok;
}

bool WindowsEnv::AppendToFile(const std::string& path, std::string_view bytes) {
  if (bytes.size() > MAXDWORD) return false;
  const std::wstring wide = Utf8ToWide(path);
  // Others may read the file while an entry is written, never write to it.
  auto open_existing = [&] {
    return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE handle;
  if (FileExists(path)) {
    handle = open_existing();
  } else {
    handle = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    // Another writer created it first.
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
      handle = open_existing();
    }
  }
  FileHandle file(handle);
  if (!file.valid()) return false;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) != 0;
  return ok && written == bytes.size();
}

}  // namespace tolvenar
