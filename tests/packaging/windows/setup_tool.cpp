// A helper for the setup test under Wine, for what cmd cannot do:
//   run HEX                  runs the command line whose UTF-8 bytes HEX
//                            spells, exactly as given (control characters
//                            and all); exits with its exit code
//   hold PATH READY FLAG SECONDS
//                            holds PATH open, letting no one delete or
//                            write it, until the file FLAG exists (at most
//                            SECONDS); creates the file READY once it holds it
//   mutex NAME READY FLAG SECONDS
//                            holds the named mutex NAME, as a running setup
//                            does; otherwise as hold
//   ini PATH                 reads PATH as the connector does and prints
//                            each key of each section as
//                            "section|key|hex of the UTF-8 value"
#include <windows.h>

#include <cstdio>
#include <string>

#include "config/ini_file.h"

namespace {

std::string Narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

int Run(const std::string& hex) {
  std::wstring command = Wide(FromHex(hex));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "CreateProcessW: %lu\n", GetLastError());
    return 125;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

void WaitForFlag(const wchar_t* flag, const wchar_t* seconds);

// Tells the batch that waits for it (cmd cannot read a file another
// process writes to).
void SayReady(const wchar_t* ready) {
  HANDLE file =
      CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int Hold(const wchar_t* path, const wchar_t* ready, const wchar_t* flag, const wchar_t* seconds) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "CreateFileW: %lu\n", GetLastError());
    return 1;
  }
  SayReady(ready);
  WaitForFlag(flag, seconds);
  CloseHandle(file);
  return 0;
}

void WaitForFlag(const wchar_t* flag, const wchar_t* seconds) {
  const ULONGLONG deadline = GetTickCount64() + 1000ULL * _wtoi(seconds);
  while (GetFileAttributesW(flag) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) {
    Sleep(100);
  }
}

int HoldMutex(const wchar_t* name, const wchar_t* ready, const wchar_t* flag,
              const wchar_t* seconds) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) {
    std::fprintf(stderr, "CreateMutexW: %lu\n", GetLastError());
    return 1;
  }
  SayReady(ready);
  WaitForFlag(flag, seconds);
  CloseHandle(mutex);
  return 0;
}

int Ini(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::string bytes;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  CloseHandle(file);
  const tolvenar::IniFile ini = tolvenar::IniFile::FromBytes(bytes);
  for (const std::string& section : ini.SectionNames()) {
    for (const char* key :
         {"Servidor", "CNPJ", "CodigoVinculacao", "APILocal", "PermitirHTTPInseguro"}) {
      if (auto value = ini.Value(section, key)) {
        std::printf("%s|%s|%s\n", section.c_str(), key, ToHex(*value).c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"run" && argc == 3) return Run(Narrow(argv[2]));
  if (mode == L"hold" && argc == 6) return Hold(argv[2], argv[3], argv[4], argv[5]);
  if (mode == L"mutex" && argc == 6) return HoldMutex(argv[2], argv[3], argv[4], argv[5]);
  if (mode == L"ini" && argc == 3) return Ini(argv[2]);
  std::fprintf(
      stderr,
      "usage: run HEX | hold PATH READY FLAG SECONDS | mutex NAME READY FLAG SECONDS | ini PATH\n");
  return 2;
}
