// The report written when an error escapes the entry point.
#include "host/error_report.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "base/exception.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <sstream>
#endif

namespace tolvenar {
namespace {

TEST(FormatErrorReportTest, ExactTextWithPeriodAddedOnlyWhenMissing) {
  EXPECT_EQ(FormatErrorReport("Exception", "TolvenarConnector.exe", 0x1A2B,
                              "Nenhuma conexao configurada em TolvenarConnector.ini."),
            "Exception Exception in module TolvenarConnector.exe at 00001A2B.\r\n"
            "Nenhuma conexao configurada em TolvenarConnector.ini.\r\n");
  EXPECT_EQ(FormatErrorReport("EOSError", "m", 0, "System Error.  Code: 5.\r\nAccess denied"),
            "Exception EOSError in module m at 00000000.\r\n"
            "System Error.  Code: 5.\r\nAccess denied.\r\n");
  EXPECT_EQ(FormatErrorReport("Exception", "m", 0xFFFFFFFF, ""),
            "Exception Exception in module m at FFFFFFFF.\r\n\r\n");
}

// No standard output at all, as in a service or a detached process.
class NoStdOutEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  std::string ExecutableName() override { return "TolvenarConnector.exe"; }
  void WriteStdOut(std::string_view) override { throw EInOutError("I/O error 6"); }
  void WriteStdErr(std::string_view text) override { err += text; }
  std::string err;
};

TEST(ReportUnhandledErrorTest, ReachesStandardErrorWhenStandardOutputIsUnusable) {
  testing::TempDir dir;
  NoStdOutEnv env(dir.Dir());
  try {
    throw std::runtime_error("Nenhuma conexao configurada em TolvenarConnector.ini.");
  } catch (...) {
    ReportUnhandledError(env);
  }
  EXPECT_EQ(env.err,
            "Exception Exception in module TolvenarConnector.exe at 00000000.\r\n"
            "Nenhuma conexao configurada em TolvenarConnector.ini.\r\n\r\n");
}

#ifdef _WIN32
// The platform's own streams: standard output without a handle, standard
// error a file.
TEST(ReportUnhandledErrorTest, WindowsProcessWithoutStandardOutputStillReports) {
  testing::TempDir dir;
  const std::string path = dir.File("stderr.txt");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE saved_out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE saved_err = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  SetStdHandle(STD_ERROR_HANDLE, file);
  try {
    throw std::runtime_error("no profile");
  } catch (...) {
    ReportUnhandledError(*Env::Default());
  }
  SetStdHandle(STD_OUTPUT_HANDLE, saved_out);
  SetStdHandle(STD_ERROR_HANDLE, saved_err);
  CloseHandle(file);
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\r\nno profile.\r\n\r\n"), std::string::npos) << text.str();
  EXPECT_EQ(text.str().rfind("Exception Exception in module ", 0), 0u) << text.str();
}
#endif

}  // namespace
}  // namespace tolvenar
