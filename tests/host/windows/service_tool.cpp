// A small service-manager client for the service life script: Wine's sc has
// no qc, pause, continue or interrogate, and cmd cannot wait for a state.
//   qc NAME                    configuration, one field a line
//   recovery NAME              failure actions and the non-crash flag
//   query NAME                 current status
//   start NAME                 start request
//   control NAME CODE          control request (2 pause, 3 continue, 4 interrogate, 1 stop)
//   wait NAME STATE SECONDS    until the service reports STATE (exit 1 at the deadline)
//   grow FILE SECONDS          until FILE gains a line (exit 1 at the deadline)
//   gone EXE SECONDS           until no process runs EXE (exit 1 at the deadline)
//   stopwatch NAME SECONDS     stop request, then the check points seen while stop
//                              pending, until stopped (exit 1 at the deadline)
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdlib>
#include <string>

namespace {

// Polls `done` every `period_ms` for `seconds`.
template <class F>
bool Within(const wchar_t* seconds, F done, DWORD period_ms = 100) {
  const ULONGLONG deadline = GetTickCount64() + 1000ULL * _wtoi(seconds);
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(period_ms);
  }
}

void Print(const std::wstring& text) {
  const std::wstring line = text + L"\r\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
            &written, nullptr);
}

int Fail(const wchar_t* what) {
  Print(std::wstring(what) + L" failed: " + std::to_wstring(GetLastError()));
  return 2;
}

void PrintStatus(const SERVICE_STATUS& s) {
  Print(L"STATE: " + std::to_wstring(s.dwCurrentState) + L" CONTROLS: " +
        std::to_wstring(s.dwControlsAccepted) + L" CHECKPOINT: " + std::to_wstring(s.dwCheckPoint) +
        L" WAITHINT: " + std::to_wstring(s.dwWaitHint) + L" EXIT: " +
        std::to_wstring(s.dwWin32ExitCode) + L" SPECIFIC: " +
        std::to_wstring(s.dwServiceSpecificExitCode));
}

int QueryConfig(SC_HANDLE service, const wchar_t* name) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::string buffer(needed, '\0');
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed)) return Fail(L"QueryServiceConfig");
  const auto text = [](const wchar_t* s) { return std::wstring(s ? s : L"(null)"); };
  Print(L"SERVICE_NAME: " + std::wstring(name));
  Print(L"TYPE: " + std::to_wstring(config->dwServiceType));
  Print(L"START_TYPE: " + std::to_wstring(config->dwStartType));
  Print(L"ERROR_CONTROL: " + std::to_wstring(config->dwErrorControl));
  Print(L"BINARY_PATH_NAME: " + text(config->lpBinaryPathName));
  Print(L"LOAD_ORDER_GROUP: " + text(config->lpLoadOrderGroup));
  Print(L"DISPLAY_NAME: " + text(config->lpDisplayName));
  Print(L"SERVICE_START_NAME: " + text(config->lpServiceStartName));
  return 0;
}

// Wine 8 answers neither query (its ChangeServiceConfig2W accepts failure
// actions without storing them): then "not queryable" with the error.
int QueryRecovery(SC_HANDLE service) {
  DWORD needed = 0;
  QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::string buffer(needed, '\0');
  auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  if (needed != 0 &&
      QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                           reinterpret_cast<BYTE*>(buffer.data()), needed, &needed)) {
    Print(L"RESET_PERIOD: " + std::to_wstring(actions->dwResetPeriod));
    Print(L"REBOOT_MESSAGE: " + std::wstring(actions->lpRebootMsg ? actions->lpRebootMsg : L""));
    Print(L"COMMAND: " + std::wstring(actions->lpCommand ? actions->lpCommand : L""));
    for (DWORD i = 0; i < actions->cActions; ++i) {
      Print(L"ACTION: " + std::to_wstring(actions->lpsaActions[i].Type) + L" DELAY: " +
            std::to_wstring(actions->lpsaActions[i].Delay));
    }
  } else {
    Print(L"FAILURE_ACTIONS: not queryable (" + std::to_wstring(GetLastError()) + L")");
  }
  SERVICE_FAILURE_ACTIONS_FLAG flag{};
  if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                           reinterpret_cast<BYTE*>(&flag), sizeof(flag), &needed)) {
    Print(L"NON_CRASH_FAILURES: " + std::to_wstring(flag.fFailureActionsOnNonCrashFailures));
  } else {
    Print(L"NON_CRASH_FAILURES: not queryable (" + std::to_wstring(GetLastError()) + L")");
  }
  return 0;
}

// Sends a stop and watches the status until the service has stopped.
int StopWatch(SC_HANDLE service, const wchar_t* seconds) {
  SERVICE_STATUS status{};
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return Fail(L"ControlService");
  std::wstring seen;
  DWORD last = 0, highest = 0;
  bool rising = true;
  const bool stopped = Within(
      seconds,
      [&] {
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == SERVICE_STOP_PENDING && status.dwCheckPoint != last) {
          rising = rising && status.dwCheckPoint > last;
          last = status.dwCheckPoint;
          if (last > highest) highest = last;
          seen += L" " + std::to_wstring(last);
        }
        return status.dwCurrentState == SERVICE_STOPPED;
      },
      20);
  Print(highest > 0 && rising ? L"CHECK POINTS ROSE" : L"CHECK POINTS:" + seen);
  PrintStatus(status);
  return stopped ? 0 : 1;
}

size_t Lines(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  size_t lines = 0;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    for (DWORD i = 0; i < read; ++i) lines += buffer[i] == '\n';
  }
  CloseHandle(file);
  return lines;
}

bool Running(const wchar_t* exe) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    found = _wcsicmp(entry.szExeFile, exe) == 0;
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Fail(L"usage");
  const std::wstring command = argv[1];
  if (command == L"grow" && argc == 4) {
    const size_t before = Lines(argv[2]);
    const bool grew = Within(argv[3], [&] { return Lines(argv[2]) > before; });
    Print(grew ? L"GREW" : L"DID NOT GROW");
    return grew ? 0 : 1;
  }
  if (command == L"gone" && argc == 4) {
    const bool gone = Within(argv[3], [&] { return !Running(argv[2]); });
    Print(gone ? L"GONE" : L"STILL RUNNING");
    return gone ? 0 : 1;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return Fail(L"OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_ALL_ACCESS);
  if (!service) return Fail(L"OpenService");
  SERVICE_STATUS status{};
  int result = 0;
  if (command == L"qc") {
    result = QueryConfig(service, argv[2]);
  } else if (command == L"recovery") {
    result = QueryRecovery(service);
  } else if (command == L"stopwatch" && argc == 4) {
    result = StopWatch(service, argv[3]);
  } else if (command == L"query") {
    if (!QueryServiceStatus(service, &status)) return Fail(L"QueryServiceStatus");
    PrintStatus(status);
  } else if (command == L"start") {
    if (!StartServiceW(service, 0, nullptr)) return Fail(L"StartService");
    Print(L"START REQUESTED");
  } else if (command == L"control" && argc == 4) {
    if (!ControlService(service, static_cast<DWORD>(_wtoi(argv[3])), &status)) {
      return Fail(L"ControlService");
    }
    Print(L"CONTROL SENT");
  } else if (command == L"wait" && argc == 5) {
    const DWORD state = static_cast<DWORD>(_wtoi(argv[3]));
    const bool reached = Within(argv[4], [&] {
      return QueryServiceStatus(service, &status) && status.dwCurrentState == state;
    });
    PrintStatus(status);
    result = reached ? 0 : 1;
  } else {
    result = Fail(L"usage");
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}
