// The Debian package: its contents, lintian and the unit's exposure on every
// run; installed on this machine, run as its account, upgraded, removed and
// purged only with CI=true.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "env/env.h"
#include "env/posix/service_posix.h"
#include "host/service_mode.h"
#include "reference_server/connection_server.h"
#include "reference_server/sample_local_api.h"
#include "support/connector_e2e.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPackage = "tolvenar-connector";
constexpr const char* kAccount = "tolvenar-connector";
constexpr const char* kFolder = "/opt/tolvenar-connector";
constexpr const char* kExe = "/opt/tolvenar-connector/TolvenarConnector";
constexpr const char* kIni = "/opt/tolvenar-connector/TolvenarConnector.ini";
constexpr const char* kLog = "/opt/tolvenar-connector/TolvenarConnector.log";
// The link to the profiles file that the first version made.
constexpr const char* kEtcIni = "/etc/tolvenar-connector/TolvenarConnector.ini";
constexpr const char* kStateFolder = "/var/lib/tolvenar-connector";
constexpr const char* kKey = "/var/lib/tolvenar-connector/machine.key";
constexpr const char* kStateAside = "/var/lib/tolvenar-connector.tc-deb-test";
constexpr const char* kUnit = "/lib/systemd/system/TolvenarConnector.service";
constexpr const char* kWantsLink =
    "/etc/systemd/system/multi-user.target.wants/TolvenarConnector.service";
constexpr double kMaxExposure = 1.5;

testing::ProcessResult Exec(const std::vector<std::string>& argv,
                            std::chrono::milliseconds deadline = 300s) {
  return testing::RunProcess(argv, "/", "", deadline);
}

testing::ProcessResult Shell(const std::string& command) {
  return Exec({"/bin/sh", "-c", command});
}

// `command` as the service account, through a shell.
testing::ProcessResult AsAccount(const std::string& command) {
  return Exec({"/usr/sbin/runuser", "-u", kAccount, "--", "/bin/sh", "-c", command});
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The unit the package must ship: what "-install" writes for its path.
std::string InstallUnitText() {
  return SystemdUnitText(ConnectorInstallRequest(*Env::Default(), kExe), SystemdOptions{});
}

// The exposure figure systemd-analyze gives the unit file `path` (named
// TolvenarConnector.service), printed for the record; -1 when none.
double Exposure(const std::string& path) {
  const testing::ProcessResult r =
      Exec({"/usr/bin/systemd-analyze", "security", "--offline=true", "--no-pager", path});
  std::smatch match;
  const std::regex figure(R"(Overall exposure level for TolvenarConnector\.service: ([0-9.]+))");
  if (!std::regex_search(r.out, match, figure)) {
    ADD_FAILURE() << "systemd-analyze: " << r.out << r.err;
    return -1;
  }
  std::cout << "systemd-analyze security --offline=true " << path << ": exposure level " << match[1]
            << "\n";
  return std::stod(match[1]);
}

struct Owned {
  std::string user, group;
  unsigned mode = 0;
  bool operator==(const Owned&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Owned& o) {
  return out << o.user << ":" << o.group << " " << std::oct << o.mode << std::dec;
}

// Owner, group and permission bits of `path` itself (a link is not followed).
Owned OwnerOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return {"(missing)", "", 0};
  const passwd* user = getpwuid(st.st_uid);
  const group* grp = getgrgid(st.st_gid);
  return {user ? user->pw_name : std::to_string(st.st_uid),
          grp ? grp->gr_name : std::to_string(st.st_gid), st.st_mode & 07777u};
}

bool PackageKnown() {
  const testing::ProcessResult r =
      Exec({"/usr/bin/dpkg-query", "-W", "-f=${db:Status-Status}", kPackage});
  return r.exit_code == 0 && r.out != "not-installed" && !r.out.empty();
}

class DebPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TC_DEB_FILE).empty()) {
      GTEST_SKIP() << "this build tree makes no package (sanitizer build, or no dpkg-deb)";
    }
    ASSERT_TRUE(fs::exists(TC_DEB_FILE)) << TC_DEB_FILE << ": build the target deb";
  }
  const std::string deb_ = TC_DEB_FILE;
};

TEST_F(DebPackageTest, LintianIsCleanWithEachOverrideExplained) {
  const testing::ProcessResult r =
      Exec({"/usr/bin/lintian", "--fail-on", "error,warning", "--display-info", "--pedantic", deb_},
           600s);
  std::cout << "lintian " << deb_ << ":\n" << r.out << "(exit code " << r.exit_code << ")\n";
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  // Not even an informational or pedantic tag is left.
  EXPECT_EQ(r.out, "");
  // Each group of overrides comes right after the comment giving its reason.
  std::istringstream lines(ReadAll(TC_SOURCE_DIR "/packaging/deb/lintian-overrides"));
  bool explained = false;
  int overrides = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      explained = false;
    } else if (line[0] == '#') {
      explained = true;
    } else {
      ++overrides;
      EXPECT_TRUE(explained) << line;
    }
  }
  EXPECT_GT(overrides, 0);
}

TEST_F(DebPackageTest, ShipsTheUnitThatInstallWritesWithLowExposure) {
  testing::TempDir dir;
  const testing::ProcessResult r =
      Shell("/usr/bin/dpkg-deb --fsys-tarfile '" + deb_ + "' | tar -xO ." + kUnit + " > '" +
            dir.File("TolvenarConnector.service") + "'");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(dir.Read("TolvenarConnector.service"), InstallUnitText());
  const double exposure = Exposure(dir.File("TolvenarConnector.service"));
  EXPECT_GE(exposure, 0.0);
  EXPECT_LE(exposure, kMaxExposure);
}

TEST_F(DebPackageTest, ShipsTheExecutableUnitAndDocsOwnedByRoot) {
  const testing::ProcessResult r = Exec({"/usr/bin/dpkg-deb", "--contents", deb_});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::pair<const char*, const char*> expected[] = {
      {"-rwxr-xr-x root/root", "./opt/tolvenar-connector/TolvenarConnector"},
      {"-rw-r--r-- root/root", "./lib/systemd/system/TolvenarConnector.service"},
      {"-rw-r--r-- root/root", "./usr/share/doc/tolvenar-connector/LEIAME.txt"},
      {"-rw-r--r-- root/root", "./usr/share/doc/tolvenar-connector/copyright"},
      {"drwxr-xr-x root/root", "./opt/tolvenar-connector/"},
  };
  for (const auto& [mode, path] : expected) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex("(^|\n)" + std::string(mode) +
                                                    " +[0-9]+ [-0-9]+ [:0-9]+ " + path + "\n")))
        << mode << " " << path << "\n"
        << r.out;
  }
  // The profiles file and the log are the account's, made at install; the
  // package itself holds neither, so neither upgrade nor remove touches them.
  EXPECT_EQ(r.out.find("TolvenarConnector.ini"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("TolvenarConnector.log"), std::string::npos) << r.out;
  // The operators' guide is its documentation; the developers' README stays
  // with the sources.
  EXPECT_EQ(r.out.find("README"), std::string::npos) << r.out;
}

TEST_F(DebPackageTest, DependsOnThePackagesOfTheLinkedLibrariesOnly) {
  testing::TempDir dir;
  ASSERT_EQ(Exec({"/usr/bin/dpkg-deb", "-x", deb_, dir.path().string()}).exit_code, 0);
  const std::string exe = (dir.path() / "opt/tolvenar-connector/TolvenarConnector").string();
  const testing::ProcessResult needed = Exec({"/usr/bin/objdump", "-p", exe});
  ASSERT_EQ(needed.exit_code, 0) << needed.err;
  std::string multiarch = Exec({"/usr/bin/dpkg-architecture", "-qDEB_HOST_MULTIARCH"}).out;
  multiarch.erase(multiarch.find_last_not_of('\n') + 1);
  ASSERT_NE(multiarch, "");
  std::set<std::string> owners;
  const std::regex needed_line(R"(NEEDED\s+(\S+))");
  for (auto it = std::sregex_iterator(needed.out.begin(), needed.out.end(), needed_line);
       it != std::sregex_iterator(); ++it) {
    const std::string library = (*it)[1];
    // "package:arch: /usr/lib/<multiarch>/<library>"
    const testing::ProcessResult owner =
        Exec({"/usr/bin/dpkg", "-S", "*/" + multiarch + "/" + library});
    ASSERT_EQ(owner.exit_code, 0) << library << owner.err;
    owners.insert(owner.out.substr(0, owner.out.find(':')));
  }
  ASSERT_FALSE(owners.empty()) << needed.out;

  const testing::ProcessResult depends = Exec({"/usr/bin/dpkg-deb", "-f", deb_, "Depends"});
  std::set<std::string> declared;
  const std::regex name(R"((^|,)\s*([a-z0-9][a-z0-9.+-]+))");
  for (auto it = std::sregex_iterator(depends.out.begin(), depends.out.end(), name);
       it != std::sregex_iterator(); ++it) {
    declared.insert((*it)[2]);
  }
  EXPECT_EQ(declared, owners) << depends.out;
}

// Installs the package on this machine, checks what it made, runs the
// connector as its account against the reference servers, upgrades,
// removes and purges. Purges in any case at the end.
class DebInstallTest : public DebPackageTest {
 protected:
  void SetUp() override {
    DebPackageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const char* ci = std::getenv("CI");
    if (ci == nullptr || std::string(ci) != "true") {
      GTEST_SKIP() << "installs, runs and purges the package on this machine: only with CI=true";
    }
    if (geteuid() != 0) GTEST_SKIP() << "installing a package needs root";
    if (PackageKnown() || fs::exists(kFolder) || getpwnam(kAccount) != nullptr) {
      GTEST_SKIP() << "tolvenar-connector is on this machine already; the test would purge it";
    }
    // A connector run by root on this machine (a demonstration, a test)
    // keeps its machine key in the state folder: set aside meanwhile, as
    // the package takes the folder over and purge removes it.
    if (fs::exists(fs::symlink_status(kStateFolder))) {
      ASSERT_FALSE(fs::exists(fs::symlink_status(kStateAside))) << kStateAside;
      fs::rename(kStateFolder, kStateAside);
    }
    installed_by_test_ = true;
  }

  void TearDown() override {
    StopConnector();
    if (!installed_by_test_) return;
    if (PackageKnown()) {
      EXPECT_EQ(Apt({"purge", kPackage}).exit_code, 0);
    }
    // What a failed step may have left behind.
    std::error_code ignored;
    fs::remove_all(kFolder, ignored);
    if (fs::exists(fs::symlink_status(kStateAside))) {
      fs::remove_all(kStateFolder, ignored);
      fs::rename(kStateAside, kStateFolder, ignored);
      EXPECT_FALSE(ignored) << ignored.message();
    }
  }

  // Ends the connector run through runuser: its child first, by its id.
  void StopConnector() {
    if (!connector_) return;
    std::ifstream children("/proc/" + std::to_string(connector_->pid()) + "/task/" +
                           std::to_string(connector_->pid()) + "/children");
    for (int child; children >> child;) kill(child, SIGKILL);
    connector_.reset();
  }

  // apt-get waits for the package database while another installation
  // holds it.
  static testing::ProcessResult Apt(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/apt-get", "-y", "-q", "-o",
                                     "DPkg::Lock::Timeout=600"};
    argv.insert(argv.end(), args.begin(), args.end());
    testing::Process apt(argv, "/", {"DEBIAN_FRONTEND=noninteractive"});
    apt.CloseStdIn();
    const testing::ProcessResult r = apt.Wait(900s);
    std::cout << "apt-get " << args[0] << ":\n" << r.out << r.err;
    return r;
  }

  // Apt as above, its maintainer scripts seeing a running systemd: in a
  // mount namespace of its own, /run/systemd/system exists, systemctl (but
  // for the offline "--root=" calls, which go to the real one) records its
  // arguments in `fake`'s file "calls", and the container's policy-rc.d, if
  // any, allows actions.
  static testing::ProcessResult AptUnderSystemd(const testing::TempDir& fake,
                                                const std::vector<std::string>& args) {
    fake.Write("systemctl",
               "#!/bin/sh\n"
               "case \"$1\" in --root=*) exec '" +
                   fake.File("systemctl.real") +
                   "' \"$@\" ;; esac\n"
                   "echo \"$*\" >> '" +
                   fake.File("calls") + "'\n");
    fake.Write("systemctl.real", "");
    fake.Write("policy-rc.d", "#!/bin/sh\nexit 0\n");
    for (const char* name : {"systemctl", "policy-rc.d"}) {
      fs::permissions(fake.path() / name, fs::perms::owner_all, fs::perm_options::add);
    }
    std::vector<std::string> argv = {
        "/usr/bin/unshare",
        "--mount",
        "--propagation",
        "private",
        "/bin/sh",
        "-c",
        "mkdir -p /run/systemd && mount -t tmpfs tmpfs /run/systemd && "
        "mkdir /run/systemd/system && "
        "mount --bind /usr/bin/systemctl \"$0/systemctl.real\" && "
        "mount --bind \"$0/systemctl\" /usr/bin/systemctl && "
        "if [ -e /usr/sbin/policy-rc.d ]; then "
        "mount --bind \"$0/policy-rc.d\" /usr/sbin/policy-rc.d; fi && "
        "exec /usr/bin/apt-get -y -q -o DPkg::Lock::Timeout=600 \"$@\"",
        fake.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    testing::Process apt(argv, "/", {"DEBIAN_FRONTEND=noninteractive"});
    apt.CloseStdIn();
    const testing::ProcessResult r = apt.Wait(900s);
    std::cout << "apt-get " << args[0] << " (systemd running):\n" << r.out << r.err;
    return r;
  }

  // What the maintainer scripts asked of systemctl since the last call.
  static std::string SystemctlCalls(const testing::TempDir& fake) {
    const std::string calls = ReadAll(fake.File("calls"));
    fake.Write("calls", "");
    return calls;
  }

  testing::ProcessResult Check() {
    return Exec({"/usr/sbin/runuser", "-u", kAccount, "--", kExe, "-check"}, 120s);
  }

  // Writes the profiles file as docs/linux-package.md tells an administrator to: as
  // the account, in place, so its owner and mode stay.
  static void EditIni(const std::string& text) {
    testing::Process edit(
        {"/usr/sbin/runuser", "-u", kAccount, "--", "/bin/sh", "-c", std::string("cat > ") + kIni},
        "/");
    edit.WriteStdIn(text);
    edit.CloseStdIn();
    const testing::ProcessResult r = edit.Wait(60s);
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }

  bool installed_by_test_ = false;
  std::unique_ptr<testing::Process> connector_;
};

TEST_F(DebInstallTest, InstallRunAsTheAccountUpgradeRemoveAndPurge) {
  // Install: no systemd runs here, as in a container or on a CI machine.
  ASSERT_EQ(Apt({"install", "--no-install-recommends", deb_}).exit_code, 0);

  const passwd* account = getpwnam(kAccount);
  ASSERT_NE(account, nullptr);
  EXPECT_LT(account->pw_uid, 1000u) << "a system account";
  EXPECT_STREQ(account->pw_shell, "/usr/sbin/nologin");
  EXPECT_STREQ(account->pw_dir, kStateFolder);
  ASSERT_NE(getgrnam(kAccount), nullptr);

  const std::pair<const char*, Owned> layout[] = {
      // The account may create, rename and remove its own files here; the
      // sticky bit keeps it from the executable, which is root's.
      {kFolder, {"root", kAccount, 01770}},
      {kExe, {"root", "root", 0755}},
      {kIni, {kAccount, kAccount, 0600}},
      {kLog, {kAccount, kAccount, 0600}},
      {kStateFolder, {kAccount, kAccount, 0700}},
      {kUnit, {"root", "root", 0644}},
      {"/usr/share/doc/tolvenar-connector/LEIAME.txt", {"root", "root", 0644}},
  };
  for (const auto& [path, owned] : layout) EXPECT_EQ(OwnerOf(path), owned) << path;
  // No path of root's leads into the account's folder.
  EXPECT_FALSE(fs::exists(fs::symlink_status("/etc/tolvenar-connector")));
  EXPECT_EQ(fs::read_symlink(kWantsLink), kUnit) << "enabled";
  EXPECT_EQ(ReadAll(kUnit), InstallUnitText());
  const double exposure = Exposure(kUnit);
  EXPECT_GE(exposure, 0.0);
  EXPECT_LE(exposure, kMaxExposure);

  // The template holds no active profile: the check says so.
  EXPECT_NE(ReadAll(kIni).find(";[Connector]"), std::string::npos) << ReadAll(kIni);
  const testing::ProcessResult empty = Check();
  EXPECT_EQ(empty.exit_code, 1) << empty.out << empty.err;
  EXPECT_EQ(empty.err, "");

  // The account cannot touch the executable root runs; the same commands on
  // a file of its own succeed, so the refusals are the permissions'.
  const std::string exe_bytes = ReadAll(kExe);
  const std::string probe = std::string(kFolder) + "/probe";
  const std::string own = "printf x > " + probe + " && mv " + probe + " " + probe +
                          ".2 && printf y >> " + probe + ".2 && chmod 0600 " + probe + ".2 && rm " +
                          probe + ".2";
  const testing::ProcessResult control = AsAccount(own);
  EXPECT_EQ(control.exit_code, 0) << control.err;
  const std::string exe = kExe;
  const std::string refused[] = {
      "rm -f " + exe,
      "mv " + exe + " " + probe,
      "printf '#!/bin/sh\\n' > " + probe + "; chmod 0755 " + probe + "; mv -f " + probe + " " + exe,
      "ln -f " + probe + " " + exe,
      "printf x >> " + exe,
      "chmod 0777 " + exe,
      "chmod 0777 " + std::string(kFolder),
  };
  for (const std::string& command : refused) {
    const testing::ProcessResult r = AsAccount(command);
    EXPECT_NE(r.exit_code, 0) << command;
    std::error_code ignored;
    fs::remove(probe, ignored);
  }
  EXPECT_EQ(ReadAll(kExe), exe_bytes);
  EXPECT_EQ(OwnerOf(kExe), (Owned{"root", "root", 0755}));

  // One profile against the reference servers in this process: the
  // connector, as its account, enrolls, relays one command and stops.
  const char* cnpj = "12345678000195";
  tools::SampleLocalApi api;
  tools::ConnectionServer server;
  server.AcceptCode(cnpj, "AB-12CD");
  const std::string id =
      server.QueueCommand(R"({"id":"deb-1","method":"GET","path":"/api/v1/dashboard/summary"})");
  EditIni(testing::IniSection("Connector", server.BaseURL(), api.BaseURL(), cnpj, "ab-12cd"));
  const testing::ProcessResult configured = Check();
  EXPECT_EQ(configured.exit_code, 0) << configured.out << configured.err;
  EXPECT_NE(configured.out.find("Vinculacao: pendente"), std::string::npos) << configured.out;

  // Run as the unit runs it: as the account, with the system read-only but
  // for its two folders (what ProtectSystem=strict leaves writable with the
  // unit's ReadWritePaths= and StateDirectory=), in a mount namespace.
  connector_ = std::make_unique<testing::Process>(
      std::vector<std::string>{
          "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
          std::string("mount --bind ") + kFolder + " " + kFolder + " && mount --bind " +
              kStateFolder + " " + kStateFolder + " && mount -o remount,bind,ro / && exec " +
              "/usr/sbin/runuser -u " + kAccount + " -- " + kExe + " -console"},
      "/");
  ASSERT_TRUE(connector_->WaitForOutput("Pressione ENTER para encerrar.", testing::kE2ELimit))
      << connector_->out_so_far();
  EXPECT_TRUE(testing::Eventually([&] { return !server.Results().empty(); }))
      << server.Report() << ReadAll(kLog);
  connector_->WriteStdIn("\r\n");
  const testing::ProcessResult ran = connector_->Wait(testing::kE2ELimit);
  connector_.reset();
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_EQ(ran.err, "");
  ASSERT_EQ(server.Results().size(), 1u) << server.Report();
  EXPECT_EQ(server.Results()[0].command_id, id);
  EXPECT_EQ(server.Results()[0].http_status, 200);

  const std::string ini = ReadAll(kIni);
  EXPECT_NE(testing::IniValue(ini, "Connector", "ConnectorSecretEnc").value_or(""), "") << ini;
  EXPECT_EQ(testing::IniValue(ini, "Connector", "CodigoVinculacao"), "") << ini;
  EXPECT_NE(ReadAll(kLog).find("Vinculacao concluida com sucesso."), std::string::npos)
      << ReadAll(kLog);
  for (const auto& [path, owned] : std::vector<std::pair<const char*, Owned>>{
           {kIni, {kAccount, kAccount, 0600}},
           {kLog, {kAccount, kAccount, 0600}},
           {kKey, {kAccount, kAccount, 0644}},
       }) {
    EXPECT_EQ(OwnerOf(path), owned) << path;
  }
  EXPECT_EQ(fs::file_size(kKey), 32u);
  const testing::ProcessResult enrolled = Check();
  EXPECT_EQ(enrolled.exit_code, 0) << enrolled.out << enrolled.err;
  EXPECT_NE(enrolled.out.find("Vinculacao: vinculada"), std::string::npos) << enrolled.out;
  // Root uses nothing the account controls: its check is refused before
  // it reads anything, naming the account and the command to use instead.
  const testing::ProcessResult as_root = Exec({kExe, "-check"}, 120s);
  EXPECT_EQ(as_root.exit_code, 1) << as_root.out;
  EXPECT_EQ(as_root.out, "");
  EXPECT_NE(as_root.err.find("\"runuser -u " + std::string(kAccount) + " -- " + kExe + " -check\""),
            std::string::npos)
      << as_root.err;
  // The operator's guide is where the check's failure line points.
  EXPECT_TRUE(fs::is_regular_file("/usr/share/doc/tolvenar-connector/LEIAME.txt"));

  // Upgrade (the same version again): the profiles file and the log stay
  // byte for byte, and so do the owners and modes.
  const std::string log = ReadAll(kLog);
  ASSERT_EQ(Apt({"install", "--reinstall", "--no-install-recommends", deb_}).exit_code, 0);
  EXPECT_EQ(ReadAll(kIni), ini);
  EXPECT_EQ(ReadAll(kLog), log);
  for (const auto& [path, owned] : layout) EXPECT_EQ(OwnerOf(path), owned) << path;

  // The account may put anything where the maintainer scripts look: the
  // upgrade follows no link (to change a file of root's, standing for a
  // disk, or to create one elsewhere), opens no FIFO (which would block it)
  // and fails on none of them; each is left as it is, with a warning.
  testing::TempDir outside;
  outside.Write("disk", "root's\n");
  fs::permissions(outside.File("disk"), fs::perms(0644));
  const std::string ini_path = kIni, log_path = kLog, aside = std::string(kFolder) + "/aside";
  const std::pair<std::string, std::string> traps[] = {
      {"ln -s " + outside.File("disk") + " " + ini_path,
       "ln -s " + outside.File("planted") + " " + log_path},
      {"mkfifo " + ini_path, "mkfifo " + log_path},
      {"mkdir " + ini_path, "ln -s /dev/null " + log_path},
  };
  for (const auto& [at_ini, at_log] : traps) {
    ASSERT_EQ(AsAccount("mv " + ini_path + " " + aside + ".ini && mv " + log_path + " " + aside +
                        ".log && " + at_ini + " && " + at_log)
                  .exit_code,
              0)
        << at_ini;
    const testing::ProcessResult upgrade =
        Apt({"install", "--reinstall", "--no-install-recommends", deb_});
    EXPECT_EQ(upgrade.exit_code, 0) << at_ini;
    // apt-get passes the scripts' messages on to its standard output.
    const std::string said = upgrade.out + upgrade.err;
    EXPECT_NE(said.find(ini_path + " nao e um arquivo comum"), std::string::npos) << said;
    EXPECT_NE(said.find(log_path + " nao e um arquivo comum"), std::string::npos) << said;
    EXPECT_EQ(Exec({"/usr/bin/dpkg-query", "-W", "-f=${db:Status-Abbrev}", kPackage}).out, "ii ");
    EXPECT_EQ(OwnerOf(outside.File("disk")), (Owned{"root", "root", 0644}));
    EXPECT_EQ(outside.Read("disk"), "root's\n");
    EXPECT_FALSE(fs::exists(outside.File("planted")));
    ASSERT_EQ(AsAccount("rm -rf " + ini_path + " " + log_path + " && mv " + aside + ".ini " +
                        ini_path + " && mv " + aside + ".log " + log_path)
                  .exit_code,
              0);
  }

  // The link in /etc that the first version made goes; anything else an
  // administrator put there stays.
  fs::create_directories("/etc/tolvenar-connector");
  fs::create_symlink(kIni, kEtcIni);
  fs::create_symlink(kIni, "/etc/tolvenar-connector/other.ini");
  ASSERT_EQ(Apt({"install", "--reinstall", "--no-install-recommends", deb_}).exit_code, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(kEtcIni)));
  EXPECT_TRUE(fs::is_symlink("/etc/tolvenar-connector/other.ini"));
  fs::remove_all("/etc/tolvenar-connector");
  EXPECT_EQ(ReadAll(kIni), ini);
  EXPECT_EQ(ReadAll(kLog), log);

  // Remove: the executable and the unit go, the configuration stays.
  ASSERT_EQ(Apt({"remove", kPackage}).exit_code, 0);
  EXPECT_FALSE(fs::exists(kExe));
  EXPECT_FALSE(fs::exists(kUnit));
  EXPECT_EQ(ReadAll(kIni), ini);
  EXPECT_EQ(ReadAll(kLog), log);
  EXPECT_TRUE(fs::exists(kKey));
  EXPECT_NE(getpwnam(kAccount), nullptr);

  // Purge: nothing the package made is left, nor anything the account put
  // in its folder, whatever its kind; no file keeps the group's id, which
  // the next system group would get.
  const gid_t gid = getgrnam(kAccount)->gr_gid;
  const std::string folder = kFolder;
  ASSERT_EQ(AsAccount("mkdir " + folder + "/TolvenarConnector.3.log && mkfifo " + folder +
                      "/fifo && ln -s " + outside.File("disk") + " " + folder +
                      "/link && mkdir -p " + folder + "/deep/er && touch " + folder +
                      "/deep/er/file && chmod 0 " + folder + "/deep/er " + folder + "/deep")
                .exit_code,
            0);
  ASSERT_EQ(Apt({"purge", kPackage}).exit_code, 0);
  EXPECT_EQ(outside.Read("disk"), "root's\n");
  EXPECT_EQ(Shell("find /opt /var/lib /etc -xdev -gid " + std::to_string(gid)).out, "");
  for (const char* path : {kFolder, "/etc/tolvenar-connector", kStateFolder, kUnit, kWantsLink}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  }
  EXPECT_EQ(getpwnam(kAccount), nullptr);
  EXPECT_EQ(getgrnam(kAccount), nullptr);
  EXPECT_NE(Exec({"/usr/bin/dpkg-statoverride", "--list", kFolder}).exit_code, 0);
  EXPECT_FALSE(PackageKnown());
}

TEST_F(DebInstallTest, MaintainerScriptsDriveARunningSystemd) {
  testing::TempDir fake;
  const std::string reload = "--system daemon-reload\n";
  // A first install enables the service and starts nothing: no profile yet.
  ASSERT_EQ(AptUnderSystemd(fake, {"install", "--no-install-recommends", deb_}).exit_code, 0);
  EXPECT_EQ(SystemctlCalls(fake), reload);
  // An upgrade restarts the service if it runs (try-restart leaves a
  // stopped one stopped).
  ASSERT_EQ(
      AptUnderSystemd(fake, {"install", "--reinstall", "--no-install-recommends", deb_}).exit_code,
      0);
  EXPECT_EQ(SystemctlCalls(fake), reload + "try-restart TolvenarConnector.service\n");
  // Remove stops it first, then reloads without its unit.
  ASSERT_EQ(AptUnderSystemd(fake, {"remove", kPackage}).exit_code, 0);
  EXPECT_EQ(SystemctlCalls(fake), "stop TolvenarConnector.service\n" + reload);
  // Purge starts and stops nothing.
  ASSERT_EQ(AptUnderSystemd(fake, {"purge", kPackage}).exit_code, 0);
  const std::string purge_calls = SystemctlCalls(fake);
  EXPECT_EQ(purge_calls.find("start"), std::string::npos) << purge_calls;
  EXPECT_EQ(purge_calls.find("stop"), std::string::npos) << purge_calls;
  EXPECT_EQ(getpwnam(kAccount), nullptr);
  EXPECT_FALSE(PackageKnown());
}

}  // namespace
}  // namespace tolvenar
