#include <windows.h>

// After <windows.h>, which it needs.
#include <sddl.h>
// Env's ReplaceFile method, not the ReplaceFileW macro.
#undef ReplaceFile

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "env/windows/env_windows.h"
#include "env/windows/files_windows.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using tolvenar::testing::TempDir;

// A non-ASCII name checks the UTF-8 to UTF-16 path conversion.
constexpr char kName[] = "configura\xC3\xA7\xC3\xA3o.ini";

class WindowsFilesTest : public ::testing::Test {
 protected:
  std::set<std::wstring> Listing() {
    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.insert(entry.path().filename().wstring());
    }
    return names;
  }
  std::wstring WideName() { return Utf8ToWide(kName); }

  TempDir dir_;
  WindowsEnv env_;
};

// The outcomes and sizes every platform gives: env_test.cpp. Here a file
// another program holds without sharing, reported with the system's reason.
TEST_F(WindowsFilesTest, ReadFileReportsAFileHeldWithoutSharing) {
  dir_.Write(kName, "12345");
  HANDLE held = ::CreateFileW(Utf8ToWide(dir_.File(kName)).c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string bytes = "untouched";
  const FileRead read = env_.ReadFile(dir_.File(kName), 10, &bytes);
  ::CloseHandle(held);
  EXPECT_EQ(read.outcome, FileRead::Outcome::kFailed);
  EXPECT_FALSE(read.error.empty());
  EXPECT_EQ(read.error.find_first_of("\r\n"), std::string::npos) << read.error;
  EXPECT_EQ(bytes, "untouched");
}

// What an administrator set on the INI survives an enrollment's rewrite.
TEST_F(WindowsFilesTest, ReplaceFileKeepsAttributesAndAccessList) {
  dir_.Write(kName, "old");
  const std::wstring path = (dir_.path() / WideName()).wstring();
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  const bool attributes_kept_here = (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0;
  // Owner full control, SYSTEM and Administrators; no one else.
  const wchar_t* kSddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";
  PSECURITY_DESCRIPTOR wanted = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kSddl, SDDL_REVISION_1, &wanted,
                                                                   nullptr));
  const bool set = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, wanted) != 0;
  LocalFree(wanted);
  auto dacl_text = [&path]() -> std::wstring {
    DWORD size = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> sd(size ? size : 1);
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), size, &size)) {
      return L"";
    }
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
      return L"";
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
  };
  const std::wstring before = dacl_text();

  ASSERT_TRUE(env_.ReplaceFile(dir_.File(kName), "new"));
  EXPECT_EQ(dir_.Read(kName), "new");
  EXPECT_EQ(Listing(), std::set<std::wstring>{WideName()});
  // Wine keeps DOS attributes and security descriptors only where its file
  // system stores extended attributes; where it could not keep those just
  // set on the old file, there is nothing to compare.
  if (attributes_kept_here) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_SYSTEM, 0u);
  }
  if (!set || before.find(L"(A;;FA;;;BA)") == std::wstring::npos || !attributes_kept_here) {
    GTEST_SKIP() << "this Wine keeps no attributes or access list on this file system; only "
                    "the content was checked";
  }
  EXPECT_EQ(dacl_text(), before);
}

std::wstring DaclText(const std::wstring& path) {
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<BYTE> sd(size ? size : 1);
  if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), size, &size)) {
    return L"";
  }
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return L"";
  }
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// What the temporary file of a rewrite carried the moment it was created.
std::vector<std::wstring> created_temp_dacls;
void RecordTempDacl(const std::wstring& temp) { created_temp_dacls.push_back(DaclText(temp)); }

// The temporary file holds the whole new content, secret included: it is
// created with the target's access list, never the folder's wider one and
// narrowed later.
TEST_F(WindowsFilesTest, ReplaceFileCreatesItsTemporaryFileWithTheTargetsAccessList) {
  dir_.Write("plain", "x");
  dir_.Write(kName, "old");
  const std::wstring path = (dir_.path() / WideName()).wstring();
  PSECURITY_DESCRIPTOR narrow = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)", SDDL_REVISION_1, &narrow, nullptr));
  const bool set = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, narrow) != 0;
  LocalFree(narrow);
  ASSERT_TRUE(set);

  std::vector<BYTE> descriptor;
  ASSERT_TRUE(ReplacementDescriptor(path, &descriptor));
  ASSERT_FALSE(descriptor.empty());
  std::vector<BYTE> none{1};
  ASSERT_TRUE(ReplacementDescriptor((dir_.path() / L"missing").wstring(), &none));
  EXPECT_TRUE(none.empty());

  const std::wstring narrowed = DaclText(path);
  created_temp_dacls.clear();
  SetTempFileCreatedHookForTesting(&RecordTempDacl);
  const bool replaced = env_.ReplaceFile(dir_.File(kName), "new");
  SetTempFileCreatedHookForTesting(nullptr);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(dir_.Read(kName), "new");
  ASSERT_EQ(created_temp_dacls.size(), 1u);
  // Wine keeps no access list on files: it sets the Unix mode from the list
  // it is given and reads one back from the mode (a file created without
  // one reads back with Everyone). That still tells a file born narrow from
  // one born with the folder's list; where the narrowed file reads back
  // like a plain one, nothing tells them apart.
  if (narrowed == DaclText((dir_.path() / L"plain").wstring())) {
    GTEST_SKIP() << "this Wine reads the same access list back from every file: "
                 << std::string(narrowed.begin(), narrowed.end());
  }
  EXPECT_EQ(created_temp_dacls[0], narrowed);
  EXPECT_EQ(Listing(), (std::set<std::wstring>{WideName(), L"plain"}));
}

// An editor or a scan holding the INI for a moment delays the rewrite; one
// holding it for good makes it fail with the old file intact.
TEST_F(WindowsFilesTest, ReplaceFileWaitsBrieflyForAProgramHoldingTheFile) {
  dir_.Write(kName, "old");
  const std::wstring path = (dir_.path() / WideName()).wstring();
  HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const bool refused_while_held = !MoveFileExW(path.c_str(), (path + L".probe").c_str(), 0);
  if (!refused_while_held) {
    MoveFileExW((path + L".probe").c_str(), path.c_str(), 0);
    CloseHandle(holder);
    GTEST_SKIP() << "this Wine lets an open file be renamed over; no sharing violation to wait for";
  }
  EXPECT_FALSE(env_.ReplaceFile(dir_.File(kName), "new"));
  EXPECT_EQ(dir_.Read(kName), "old");
  std::thread release([holder] {
    Sleep(100);
    CloseHandle(holder);
  });
  EXPECT_TRUE(env_.ReplaceFile(dir_.File(kName), "new"));
  release.join();
  EXPECT_EQ(dir_.Read(kName), "new");
  EXPECT_EQ(Listing(), std::set<std::wstring>{WideName()});
}

TEST_F(WindowsFilesTest, AppendToFileFailsWhileAnotherWriterHoldsTheFile) {
  dir_.Write(kName, "start\n");
  const std::wstring path = (dir_.path() / WideName()).wstring();
  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(env_.AppendToFile(dir_.File(kName), "entry\n"));
  CloseHandle(other);

  // A reader that lets others write does not stop an entry.
  HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(env_.AppendToFile(dir_.File(kName), "entry\n"));
  CloseHandle(reader);
  EXPECT_EQ(dir_.Read(kName), "start\nentry\n");
}

// Another program holding the file against writers for a moment delays an
// entry; holding it past the wait drops it.
TEST_F(WindowsFilesTest, AppendWaitsBrieflyForAnotherWriterToLetGo) {
  dir_.Write(kName, "start\n");
  const std::wstring path = (dir_.path() / WideName()).wstring();
  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  std::thread release([other] {
    Sleep(50);
    CloseHandle(other);
  });
  EXPECT_TRUE(env_.AppendToFile(dir_.File(kName), "entry\n"));
  release.join();
  EXPECT_EQ(dir_.Read(kName), "start\nentry\n");
}

}  // namespace
}  // namespace tolvenar
