// The resources of the built TolvenarConnector.exe as Windows reads them:
// the message table that Event Viewer formats events with, the version
// resource and the application manifest. The module is loaded as a data
// file, the way Event Viewer loads a message file.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "env/windows/env_windows.h"

namespace tolvenar {
namespace {

// Beside the test program's folder, as the build lays them out.
std::wstring ConnectorPath() {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  return self.substr(0, self.find_last_of(L"\\/") + 1) + Utf8ToWide(TC_CONNECTOR_EXE_FROM_TESTS);
}

struct FreeModule {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleHandle = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule>;

class ExecutableResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ConnectorPath();
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module_) << "cannot load " << WideToUtf8(path_) << ": " << GetLastError();
  }

  // The event's text through message 0, as Event Viewer formats an event
  // with event ID 0 and one insertion string.
  std::wstring FormatEvent(const std::wstring& text) {
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                           FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       module_.get(), 0, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                       reinterpret_cast<va_list*>(arguments));
    if (length == 0) {
      ADD_FAILURE() << "FormatMessage failed: " << GetLastError();
      return {};
    }
    std::wstring result(buffer, length);
    LocalFree(buffer);
    return result;
  }

  std::wstring path_;
  ModuleHandle module_;
};

TEST_F(ExecutableResourcesTest, MessageZeroIsTheEventsOwnText) {
  // The texts an event carries: a start failure, one with what looks like
  // insertions (never expanded a second time), several lines, non-ASCII.
  const std::vector<std::wstring> texts = {
      L"Falha ao iniciar o Connector: Nenhuma conexao configurada em TolvenarConnector.ini.",
      L"100% das conexoes; %1 %2 %%3 %n %0 fim",
      L"Exception Exception in module TolvenarConnector.exe at 00001A2B.\r\nlinha 2",
      Utf8ToWide("Configura\xC3\xA7\xC3\xA3o inv\xC3\xA1lida"),
      L"x",
  };
  for (const auto& text : texts) {
    EXPECT_EQ(FormatEvent(text), text) << WideToUtf8(text);
  }
}

TEST_F(ExecutableResourcesTest, VersionResourceNamesTheProductAndItsVersion) {
  const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), nullptr);
  ASSERT_NE(size, 0u) << "no version resource: " << GetLastError();
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(version, TC_PROJECT_VERSION ".0");
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  struct Translation {
    WORD language;
    WORD code_page;
  }* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, sizeof(Translation));
  wchar_t block[64];
  swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation->language,
           translation->code_page);
  const std::pair<const wchar_t*, std::string> expected[] = {
      {L"CompanyName", "Tolvenar"},
      {L"ProductName", "Tolvenar Connector"},
      {L"OriginalFilename", "TolvenarConnector.exe"},
      {L"FileVersion", TC_PROJECT_VERSION ".0"},
      {L"ProductVersion", TC_PROJECT_VERSION ".0"},
  };
  for (const auto& [name, value] : expected) {
    wchar_t* text = nullptr;
    const std::wstring query = std::wstring(block) + name;
    ASSERT_TRUE(
        VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length))
        << WideToUtf8(query);
    EXPECT_EQ(WideToUtf8(text), value) << WideToUtf8(name);
  }
  wchar_t* description = nullptr;
  const std::wstring query = std::wstring(block) + L"FileDescription";
  ASSERT_TRUE(
      VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&description), &length));
  EXPECT_NE(std::wstring(description).find(L"Tolvenar Connector"), std::wstring::npos);
}

TEST_F(ExecutableResourcesTest, ManifestRunsAsInvokerOnWindows7To11) {
  HRSRC resource = FindResourceW(module_.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr) << "no manifest";
  HGLOBAL loaded = LoadResource(module_.get(), resource);
  ASSERT_NE(loaded, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(loaded)),
                             SizeofResource(module_.get(), resource));
  EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
            std::string::npos);
  for (const char* os : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",     // 7
                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",     // 8
                         "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",     // 8.1
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // 10 and 11
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + os + "\"/>"), std::string::npos)
        << os;
  }
  // The console code page stays the program's own business.
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
}

}  // namespace
}  // namespace tolvenar
