#include "env/posix/env_posix.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <limits.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <clocale>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "env/posix/curl_transport.h"

namespace tolvenar {

Env* Env::Default() {
  static PosixEnv* env = [] {
    // Character classes of the user's locale, for case-insensitive switches.
    // Text in the connector is UTF-8 whatever the user's code set is.
    std::setlocale(LC_CTYPE, "");
    if (std::string(nl_langinfo(CODESET)) != "UTF-8") std::setlocale(LC_CTYPE, "C.UTF-8");
    // A write to a pipe whose reader is gone must fail with EPIPE and be
    // reported like any other unusable stream, not end the process at once.
    ::signal(SIGPIPE, SIG_IGN);
    return new PosixEnv();  // lives as long as the process
  }();
  return env;
}

PosixEnv::PosixEnv(PosixEnvOptions options)
    : options_(std::move(options)), journal_on_(JournalIsOn(options_.journal_fd)) {}
PosixEnv::~PosixEnv() = default;

static std::string SelfPath() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string PosixEnv::ExecutableDir() {
  const std::string path = SelfPath();
  return path.substr(0, path.rfind('/') + 1);
}

std::string PosixEnv::ExecutableName() {
  const std::string path = SelfPath();
  return path.substr(path.rfind('/') + 1);
}

std::vector<std::string> PosixEnv::CommandLineParams() {
  // The shell has split the line already; argv[1..] are the parameters.
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> params;
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\0', start);
    params.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!params.empty()) params.erase(params.begin());
  return params;
}

static std::wstring Widen(std::string_view text) {
  std::wstring out;
  std::mbstate_t state{};
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    wchar_t wc;
    const size_t n = std::mbrtowc(&wc, p, left, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      out.push_back(static_cast<wchar_t>(0xDC00 | static_cast<unsigned char>(*p)));
      state = {};
      ++p;
      --left;
      continue;
    }
    const size_t used = n == 0 ? 1 : n;
    out.push_back(wc);
    p += used;
    left -= used;
  }
  return out;
}

bool PosixEnv::SameTextIgnoreCase(std::string_view a, std::string_view b) {
  const std::wstring wa = Widen(a);
  const std::wstring wb = Widen(b);
  if (wa.size() != wb.size()) return false;
  for (size_t i = 0; i < wa.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(wa[i])) != std::towupper(static_cast<wint_t>(wb[i])))
      return false;
  }
  return true;
}

void PosixEnv::ModuleOfAddress(const void* address, std::string* module_name,
                               unsigned long long* offset) {
  Dl_info info{};
  if (dladdr(address, &info) != 0 && info.dli_fname != nullptr) {
    std::string path = info.dli_fname;
    *module_name = path.substr(path.rfind('/') + 1);
    *offset = reinterpret_cast<unsigned long long>(address) -
              reinterpret_cast<unsigned long long>(info.dli_fbase);
  } else {
    *module_name = ExecutableName();
    *offset = reinterpret_cast<unsigned long long>(address);
  }
}

LocalTime PosixEnv::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

// Linux locales have no separate time separator setting.
std::string PosixEnv::TimeSeparator() { return ":"; }

void PosixEnv::SleepMs(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DataProtector& PosixEnv::Protector() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (!protector_) protector_ = NewMachineKeyProtector(options_.machine_key_path);
  return *protector_;
}

std::unique_ptr<HttpTransport> PosixEnv::NewHttpTransport() { return NewCurlTransport(); }

}  // namespace tolvenar
