// WindowsEnv's file services.
#include <windows.h>
// <windows.h> maps ReplaceFile onto ReplaceFileW; here it names the Env
// method, declared in env_windows.h below.
#undef ReplaceFile

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "env/windows/env_windows.h"
#include "env/windows/files_windows.h"
#include "env/windows/service_windows.h"

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

std::atomic<TempFileCreatedHook> temp_file_created_hook{nullptr};

// A new, empty file beside `path` that no one else has opened, created with
// `security` (nullptr: what the folder passes on).
FileHandle CreateTempBeside(const std::wstring& path, SECURITY_ATTRIBUTES* security,
                            std::wstring* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = path + L".~" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter.fetch_add(1)) + L".tmp";
    FileHandle file(::CreateFileW(temp->c_str(), GENERIC_WRITE, 0, security, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || ::GetLastError() != ERROR_FILE_EXISTS) {
      if (file.valid()) {
        if (TempFileCreatedHook hook = temp_file_created_hook.load()) hook(*temp);
      }
      return file;
    }
  }
  return FileHandle(INVALID_HANDLE_VALUE);
}

// Gives `temp` what an administrator set on `target`: its hidden, system
// and similar attributes, its access list (already the one it was created
// with; set again in case the file system did not take it at creation) and,
// where the account may set it, its owner.
bool CopyProtection(const std::wstring& target, const std::wstring& temp, DWORD attributes) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  constexpr SECURITY_INFORMATION kDacl = DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  ::GetFileSecurityW(target.c_str(), kDacl | OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size > 0) {
    std::vector<BYTE> descriptor(size);
    if (!::GetFileSecurityW(target.c_str(), kDacl | OWNER_SECURITY_INFORMATION, descriptor.data(),
                            size, &size)) {
      return false;
    }
    // A wider access list must never be the result of a rewrite: failing to
    // copy it fails the save. Setting the owner needs a privilege an
    // administrator's or the service's account has; without it the owner
    // is this account.
    if (!::SetFileSecurityW(temp.c_str(), kDacl, descriptor.data())) return false;
    ::SetFileSecurityW(temp.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data());
  }
  if ((attributes & kKept) != 0) ::SetFileAttributesW(temp.c_str(), attributes & kKept);
  return true;
}

// Another program holding the file (an editor, a scan) for a moment.
bool IsHeldByOther(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

constexpr DWORD kHeldFileWaitMs = 1000;
constexpr DWORD kHeldFileRetryMs = 25;

// Renames `temp` over `target` in one step, so readers see the old or the
// new file whole; a file held open by another program is waited for up to
// a second.
bool MoveOver(const std::wstring& temp, const std::wstring& target) {
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    if (::MoveFileExW(temp.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    if (!IsHeldByOther(::GetLastError()) || ::GetTickCount64() - start >= kHeldFileWaitMs) {
      return false;
    }
    ::Sleep(kHeldFileRetryMs);
  }
}

}  // namespace

bool ReplacementDescriptor(const std::wstring& target, std::vector<BYTE>* descriptor) {
  descriptor->clear();
  if (::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  DWORD size = 0;
  ::GetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> bytes(size);
  if (!::GetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, bytes.data(), size, &size)) {
    return false;
  }
  *descriptor = std::move(bytes);
  return true;
}

void SetTempFileCreatedHookForTesting(TempFileCreatedHook hook) {
  temp_file_created_hook.store(hook);
}

bool WindowsEnv::FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

TailRead WindowsEnv::ReadFileTail(const std::string& path, size_t max_bytes, std::string* tail,
                                  uint64_t* size) {
  // Shares everything, so the service's appends and rotations go on.
  FileHandle file(::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TailRead::kMissing
                                                                          : TailRead::kUnreadable;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return TailRead::kUnreadable;
  }
  const uint64_t length = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  const uint64_t wanted = length < max_bytes ? length : max_bytes;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(length - wanted);
  if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return TailRead::kUnreadable;
  std::string bytes(static_cast<size_t>(wanted), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!::ReadFile(file.get(), bytes.data() + done, chunk, &n, nullptr)) {
      return TailRead::kUnreadable;
    }
    if (n == 0) break;  // cut short meanwhile
    done += n;
  }
  bytes.resize(done);
  *tail = std::move(bytes);
  *size = length;
  return TailRead::kRead;
}

FileRead WindowsEnv::ReadFile(const std::string& path, uint64_t max_bytes, std::string* bytes) {
  FileRead result;
  const auto failed = [&result](DWORD code) {
    result.outcome = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                         ? FileRead::Outcome::kMissing
                         : FileRead::Outcome::kFailed;
    result.error = WindowsErrorText(code);
    return result;
  };
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return failed(ERROR_FILE_NOT_FOUND);  // a folder is no file
  }
  FileHandle file(::CreateFileW(wide.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return failed(::GetLastError());
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.error = "not a regular file";
    return result;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return failed(::GetLastError());
  if (static_cast<uint64_t>(size.QuadPart) > max_bytes) {
    result.outcome = FileRead::Outcome::kTooLarge;
    result.size = static_cast<uint64_t>(size.QuadPart);
    return result;
  }
  std::string content;
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
      return failed(::GetLastError());
    }
    if (n == 0) break;
    content.append(buffer, n);
    if (content.size() > max_bytes) {  // grew while being read
      result.outcome = FileRead::Outcome::kTooLarge;
      result.size = content.size();
      return result;
    }
  }
  *bytes = std::move(content);
  result.outcome = FileRead::Outcome::kRead;
  result.size = bytes->size();
  return result;
}

bool WindowsEnv::ReplaceFile(const std::string& path, const std::string& bytes) {
  const std::wstring target = Utf8ToWide(path);
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }

  // The temporary file holds the whole new content, secret included: it is
  // born with the target's access list, never with the folder's wider one.
  std::vector<BYTE> descriptor;
  if (!ReplacementDescriptor(target, &descriptor)) return false;
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = descriptor.empty() ? nullptr : descriptor.data();
  security.bInheritHandle = FALSE;

  std::wstring temp;
  FileHandle file = CreateTempBeside(target, descriptor.empty() ? nullptr : &security, &temp);
  if (!file.valid()) return false;
  bool ok = WriteAll(file.get(), bytes) && ::FlushFileBuffers(file.get()) != 0;
  ok = file.Close() && ok;
  if (ok && attributes != INVALID_FILE_ATTRIBUTES) ok = CopyProtection(target, temp, attributes);
  ok = ok && MoveOver(temp, target);
  if (!ok) ::DeleteFileW(temp.c_str());
  return ok;
}

namespace {

// Appends of this process wait for each other instead of meeting the
// sharing mode, so no thread of ours drops another's entry.
std::mutex& AppendMutex() {
  static std::mutex mutex;
  return mutex;
}

// How long an entry waits for another process (a second instance, a viewer
// that denies writing) to let go of the file before it is dropped.
constexpr DWORD kBusyFileWaitMs = 200;
constexpr DWORD kBusyFileRetryMs = 10;

bool IsBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// One attempt at appending; `error` gets the reason a file could not be opened.
bool AppendOnce(const std::wstring& wide, std::string_view bytes, DWORD* error) {
  // Others may read the file while an entry is written, never write to it.
  auto open_existing = [&] {
    return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  HANDLE handle;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
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
  if (!file.valid()) {
    *error = ::GetLastError();
    return false;
  }
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) != 0;
  return ok && written == bytes.size();
}

// Makes the log its first older generation when `entry_size` more bytes
// would take it past the limit. Best effort: while another process writes
// to the file, or a viewer holds it without letting it be renamed, the
// entry goes to the current file and a later one rotates.
void RotateIfFull(const std::string& path, uint64_t entry_size, const LogRotation& rotation) {
  if (rotation.max_bytes == 0 || rotation.older_files < 1) return;
  const std::wstring wide = Utf8ToWide(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return;
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  if (size == 0 || size + entry_size <= rotation.max_bytes) return;
  // Held against other writers while the generations move, so that two
  // processes never rotate the same file; renaming needs delete sharing.
  FileHandle held(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held.valid()) return;
  LARGE_INTEGER now{};
  if (!::GetFileSizeEx(held.get(), &now) ||
      static_cast<uint64_t>(now.QuadPart) + entry_size <= rotation.max_bytes) {
    return;  // another process rotated it meanwhile
  }
  ::DeleteFileW(Utf8ToWide(LogGenerationPath(path, rotation.older_files)).c_str());
  for (int n = rotation.older_files - 1; n >= 1; --n) {
    ::MoveFileExW(Utf8ToWide(LogGenerationPath(path, n)).c_str(),
                  Utf8ToWide(LogGenerationPath(path, n + 1)).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  ::MoveFileExW(wide.c_str(), Utf8ToWide(LogGenerationPath(path, 1)).c_str(),
                MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

bool WindowsEnv::AppendToFile(const std::string& path, std::string_view bytes,
                              const LogRotation& rotation) {
  if (bytes.size() > MAXDWORD) return false;
  const std::wstring wide = Utf8ToWide(path);
  const std::lock_guard<std::mutex> lock(AppendMutex());
  RotateIfFull(path, bytes.size(), rotation);
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    DWORD error = ERROR_SUCCESS;
    if (AppendOnce(wide, bytes, &error)) return true;
    if (!IsBusy(error) || ::GetTickCount64() - start >= kBusyFileWaitMs) return false;
    ::Sleep(kBusyFileRetryMs);
  }
}

}  // namespace tolvenar
