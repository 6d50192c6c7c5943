// Install and uninstall on systemd: a unit file in the unit folder and its
// multi-user.target.wants link, then a reload when systemd is running.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "base/exception.h"
#include "env/posix/service_posix.h"
#include "env/posix/unique_fd.h"
#include "messages/messages.h"

extern char** environ;

namespace tolvenar {

namespace {

[[noreturn]] void RaiseOSError(int code) { throw EOSError(code, PosixErrorText(code)); }

// '%' starts a specifier in unit files; '\' an escape in ExecStart.
std::string EscapeUnitValue(const std::string& value, bool command_line) {
  std::string out;
  for (char c : value) {
    if (c == '%') {
      out += "%%";
    } else if (command_line && c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

// A ReadWritePaths= entry: quoted when it holds a blank.
std::string UnitPathValue(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    out += c == '%' ? std::string("%%") : std::string(1, c);
  }
  return path.find_first_of(" \t\"") == std::string::npos ? out : "\"" + out + "\"";
}

// The executable's folder, from the ExecStart path (quoted or not).
std::string ExecutableFolder(std::string path) {
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
    path = path.substr(1, path.size() - 2);
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool AccountExists(const std::string& name) {
  char buffer[16384];
  passwd user{};
  passwd* found_user = nullptr;
  group grp{};
  group* found_group = nullptr;
  return getpwnam_r(name.c_str(), &user, buffer, sizeof buffer, &found_user) == 0 &&
         found_user != nullptr &&
         getgrnam_r(name.c_str(), &grp, buffer, sizeof buffer, &found_group) == 0 &&
         found_group != nullptr;
}

// The sandbox: the service reads the system, writes only its two folders
// (not even the shared memory folder every account may write, which another
// service's process could read), holds no capability, and reaches the network through IPv4, IPv6
// and local sockets (the notify socket, syslog, nscd). No netlink: libcurl's name resolution never
// opens one, and glibc does without it when it would (address sorting). A system call outside the
// filter fails with EPERM rather than killing the service; the tests run an enrollment and a relay
// under strace against it.
constexpr const char* kSandbox =
    "UMask=0077\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "InaccessiblePaths=-/dev/shm\n"
    "PrivateUsers=yes\n"
    "PrivateMounts=yes\n"
    "NoNewPrivileges=yes\n"
    "CapabilityBoundingSet=\n"
    "AmbientCapabilities=\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "RemoveIPC=yes\n"
    "KeyringMode=private\n"
    "DevicePolicy=closed\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n";

class SystemdUnitFolder : public ServiceManagerConnection {
 public:
  explicit SystemdUnitFolder(SystemdOptions options) : options_(std::move(options)) {}

  void InstallService(const ServiceInstallRequest& request) override {
    // A unit without its account would run the service as root.
    if (!AccountExists(options_.account)) {
      throw Exception(MissingAccountMessage(options_.account, options_.state_directory));
    }
    const std::string unit = UnitPath(request.name);
    UniqueFd file(open(unit.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.valid()) RaiseOSError(errno);
    const std::string text = SystemdUnitText(request, options_);
    ssize_t written = write(file.get(), text.data(), text.size());
    int saved = errno;
    if (const int error = file.Close(); error != 0 && written >= 0) {
      saved = error;
      written = -1;
    }
    if (written < 0 || static_cast<size_t>(written) != text.size()) {
      unlink(unit.c_str());
      RaiseOSError(written < 0 ? saved : EIO);
    }
    if (request.start_type == kStartTypeAuto) Enable(request.name, unit);
    Reload();
  }

  void RemoveService(const std::string& name) override {
    const std::string unit = UnitPath(name);
    if (unlink(unit.c_str()) != 0) RaiseOSError(errno);
    unlink(WantsLink(name).c_str());
    Reload();
  }

 private:
  std::string UnitPath(const std::string& name) const {
    return options_.unit_dir + "/" + name + ".service";
  }
  std::string WantsDir() const { return options_.unit_dir + "/multi-user.target.wants"; }
  std::string WantsLink(const std::string& name) const {
    return WantsDir() + "/" + name + ".service";
  }

  // What "systemctl enable" does for WantedBy=multi-user.target.
  void Enable(const std::string& name, const std::string& unit) {
    if (mkdir(WantsDir().c_str(), 0755) != 0 && errno != EEXIST) RaiseOSError(errno);
    const std::string link = WantsLink(name);
    unlink(link.c_str());
    if (symlink(unit.c_str(), link.c_str()) != 0) RaiseOSError(errno);
  }

  void Reload() {
    struct stat info {};
    if (stat(options_.systemd_run_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    std::string command = options_.systemctl;
    std::string verb = "daemon-reload";
    char* argv[] = {command.data(), verb.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, command.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  SystemdOptions options_;
};

}  // namespace

std::string MissingAccountMessage(const std::string& account, const std::string& state_directory) {
  return FillMessage(kMsgMissingAccount, {account, state_directory, account});
}

std::string SystemdUnitText(const ServiceInstallRequest& request, const SystemdOptions& options) {
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapeUnitValue(request.display_name, false) + "\n";
  // Polls a server: start once the network is up.
  text += "Wants=network-online.target\n";
  text += "After=network-online.target\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + EscapeUnitValue(request.binary_path, true) + "\n";
  if (request.restart_delay_ms != 0) {
    // Restarted after a crash, a watchdog or a time-out; not after a
    // failure the service reported itself, which would only repeat.
    text += "Restart=on-failure\n";
    text +=
        "RestartSec=" +
        (request.restart_delay_ms % 1000 == 0 ? std::to_string(request.restart_delay_ms / 1000)
                                              : std::to_string(request.restart_delay_ms) + "ms") +
        "\n";
    text += "RestartPreventExitStatus=" + std::to_string(kReportedFailureExitStatus) + "\n";
  }
  if (request.stop_timeout_s != 0) {
    text += "TimeoutStopSec=" + std::to_string(request.stop_timeout_s) + "\n";
  }
  text += "User=" + options.account + "\n";
  text += "Group=" + options.account + "\n";
  // Created by systemd for the account, and kept writable in the sandbox.
  text += "StateDirectory=" + options.state_directory + "\n";
  text += "StateDirectoryMode=0700\n";
  // The profiles file is rewritten and the log rotated beside the executable.
  text += "ReadWritePaths=" + UnitPathValue(ExecutableFolder(request.binary_path)) + "\n";
  text += kSandbox;
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::unique_ptr<ServiceManagerConnection> OpenSystemdUnitFolder(const SystemdOptions& options) {
  struct stat info {};
  if (stat(options.unit_dir.c_str(), &info) != 0) RaiseOSError(errno);
  if (!S_ISDIR(info.st_mode)) RaiseOSError(ENOTDIR);
  if (access(options.unit_dir.c_str(), W_OK) != 0) RaiseOSError(errno);
  return std::make_unique<SystemdUnitFolder>(options);
}

}  // namespace tolvenar
