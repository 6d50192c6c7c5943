// The Linux executable run by root beside files another account controls:
// it refuses in every mode before opening anything there, and its log is
// never written through a link, whoever planted it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "env/posix/syslog_capture.h"
#include "support/connector_e2e.h"
#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

// Nothing listens on port 9: each turn logs a communication failure.
constexpr const char* kFailingProfile =
    "[Connector]\nServidor=http://127.0.0.1:9\nPermitirHTTPInseguro=1\n"
    "IntervaloConsultaMS=1000\nCodigoVinculacao=abc\nCNPJ=12345678000190\n";
constexpr uid_t kNobody = 65534;

std::string UserName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

class RootRefusalE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "only root's runs are refused";
    target_ = testing::ConnectorTargets().front();
    if (!target_.available()) GTEST_SKIP() << "Linux build not present";
  }

  testing::ConnectorTarget target_;
};

// Each way another account can hold the folder, in the three modes: exit
// code 1, the owner and the command to use instead on standard error, and
// nothing written, read through or followed.
TEST_F(RootRefusalE2ETest, RefusesEveryModeBesideAnotherAccountsFiles) {
  const testing::TempDir victim_dir;
  victim_dir.Write("bashrc", "# root's own\n");
  const std::string victim = victim_dir.File("bashrc");
  struct Layout {
    const char* name;
    std::function<void(const testing::TempDir&)> plant;
    std::string held;     // the path the message names ("" for the folder)
    std::string account;  // the runuser account
  };
  const std::vector<Layout> layouts = {
      {"profiles file of another account",
       [](const testing::TempDir& dir) {
         ASSERT_EQ(::chown(dir.File("TolvenarConnector.ini").c_str(), kNobody, kNobody), 0);
       },
       "TolvenarConnector.ini", UserName(kNobody)},
      {"log link planted by another account",
       [&victim](const testing::TempDir& dir) {
         fs::create_symlink(victim, dir.path() / "TolvenarConnector.log");
         ASSERT_EQ(::lchown(dir.File("TolvenarConnector.log").c_str(), kNobody, kNobody), 0);
       },
       "TolvenarConnector.log", UserName(kNobody)},
      {"folder its group may change (the package's 1770)",
       [](const testing::TempDir& dir) {
         ASSERT_EQ(::chown(dir.Dir().c_str(), 0, kNobody), 0);
         ASSERT_EQ(::chmod(dir.Dir().c_str(), 01770), 0);
       },
       "", GroupName(kNobody)},
      {"folder any account may change",
       [](const testing::TempDir& dir) { ASSERT_EQ(::chmod(dir.Dir().c_str(), 0757), 0); }, "",
       "<conta>"},
  };
  for (const Layout& layout : layouts) {
    for (const char* mode : {"-console", "-check", ""}) {
      SCOPED_TRACE(std::string(layout.name) + ", mode " + mode);
      const testing::TempDir dir;
      target_.InstallInto(dir);
      dir.Write("TolvenarConnector.ini", kFailingProfile);
      layout.plant(dir);
      if (HasFatalFailure()) return;
      std::vector<std::string> args;
      if (*mode != '\0') args.push_back(mode);
      const testing::ProcessResult r =
          testing::RunProcess(target_.Command(dir, args), dir.Dir(), "\n", 60s);
      EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
      EXPECT_EQ(r.out, "");
      const std::string held = layout.held.empty() ? dir.Dir() : dir.File(layout.held);
      EXPECT_THAT(r.err, HasSubstr("Recusado: " + held + " "));
      EXPECT_THAT(r.err, HasSubstr("\"runuser -u " + layout.account + " -- " +
                                   dir.File(target_.executable_name) +
                                   (*mode != '\0' ? std::string(" ") + mode : "") + "\""));
      EXPECT_EQ(victim_dir.Read("bashrc"), "# root's own\n");
      EXPECT_EQ(dir.Read("TolvenarConnector.ini"), kFailingProfile);
      EXPECT_EQ(fs::symlink_status(dir.path() / "TolvenarConnector.log").type(),
                layout.held == "TolvenarConnector.log" ? fs::file_type::symlink
                                                       : fs::file_type::not_found);
      ::chmod(dir.Dir().c_str(), 0755);
    }
  }
}

// Root's own folder and files, as root sets up a console run by hand: it
// runs. A link at the log's name (even root's own) is not followed; the
// journal, when there is one, still gets the entries.
TEST_F(RootRefusalE2ETest, LogLinkIsNotFollowedAndTheJournalStillGetsTheEntries) {
  testing::SyslogCapture syslog;
  const testing::TempDir victim_dir;
  victim_dir.Write("bashrc", "# root's own\n");
  const testing::TempDir dir;
  target_.InstallInto(dir);
  dir.Write("TolvenarConnector.ini", kFailingProfile);
  fs::create_symlink(victim_dir.File("bashrc"), dir.path() / "TolvenarConnector.log");
  const std::string journal = dir.File("journal");
  // Standard error becomes a file that JOURNAL_STREAM names, as systemd
  // names the journal's stream.
  testing::Process process(
      {"/bin/sh", "-c",
       "exec 2>>\"$1\"; JOURNAL_STREAM=$(stat -c %d:%i \"$1\") exec \"$0\" -console",
       dir.File(target_.executable_name), journal},
      dir.Dir());
  ASSERT_TRUE(process.WaitForOutput("em execucao", 60s));
  EXPECT_TRUE(testing::Eventually([&] {
    return fs::exists(journal) &&
           dir.Read("journal").find("<3>[12345678000190] Falha de comunicacao: ") !=
               std::string::npos;
  })) << (fs::exists(journal) ? dir.Read("journal") : "");
  process.WriteStdIn("\n");
  const testing::ProcessResult r = process.Wait(60s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(victim_dir.Read("bashrc"), "# root's own\n");
  EXPECT_EQ(fs::symlink_status(dir.path() / "TolvenarConnector.log").type(),
            fs::file_type::symlink);
  // One record per entry, on one line, without the log's timestamp.
  EXPECT_THAT(dir.Read("journal"), ::testing::Not(HasSubstr("\r")));
  if (!syslog.available()) GTEST_SKIP() << "syslog is served by the system";
  // Why the log stays empty, once, however many entries were refused.
  size_t refusals = 0;
  for (const std::string& message : syslog.Drain(1s)) {
    if (message.find("Log de atividade nao gravado em " + dir.File("TolvenarConnector.log") +
                     ": e um link simbolico;") != std::string::npos) {
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 1u);
}

// The account itself, unable to read a profiles file root locked away:
// the start says so with the system's reason instead of "no profile".
TEST_F(RootRefusalE2ETest, AnUnreadableProfilesFileIsReportedWithItsReason) {
  const testing::TempDir dir;
  target_.InstallInto(dir);
  dir.Write("TolvenarConnector.ini", kFailingProfile);
  ASSERT_EQ(::chmod(dir.File("TolvenarConnector.ini").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(dir.File(target_.executable_name).c_str(), 0755), 0);
  for (const char* mode : {"-console", "-check"}) {
    SCOPED_TRACE(mode);
    const testing::ProcessResult r =
        testing::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             dir.File(target_.executable_name), mode},
                            dir.Dir(), "\n", 60s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    const std::string reason =
        "Nao foi possivel ler " + dir.File("TolvenarConnector.ini") + ": Permission denied";
    EXPECT_THAT(r.out + r.err, HasSubstr(reason));
    EXPECT_THAT(r.out + r.err, ::testing::Not(HasSubstr("Nenhuma conexao configurada")));
  }
}

}  // namespace
}  // namespace tolvenar
