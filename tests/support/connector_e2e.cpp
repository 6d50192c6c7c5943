#include "support/connector_e2e.h"

#include <filesystem>
#include <iterator>
#include <regex>
#include <thread>

#include "reference_server/connection_server.h"

namespace tolvenar::testing {

namespace {

// `text` with the characters a log message may hold that are special in a
// regular expression escaped.
std::string EscapeForRegex(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.()\[\]\\+*?])"), R"(\$&)");
}

std::string EntryStart(const std::string& cnpj) {
  return "(^|\n)\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[" + EscapeForRegex(cnpj) + "\\] ";
}

}  // namespace

bool Eventually(const std::function<bool()>& ready) {
  const auto end = std::chrono::steady_clock::now() + kE2ELimit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string IniSection(const std::string& section, const std::string& server,
                       const std::string& local_api, const std::string& cnpj,
                       const std::string& code) {
  return "[" + section + "]\r\nServidor=" + server + "\r\nPermitirHTTPInseguro=1\r\n" +
         "IntervaloConsultaMS=1000\r\nAPILocal=" + local_api + "\r\nCNPJ=" + cnpj +
         "\r\nCodigoVinculacao=" + code + "\r\n";
}

std::optional<std::string> IniValue(const std::string& ini, const std::string& section,
                                    const std::string& key) {
  std::string current;
  size_t start = 0;
  while (start < ini.size()) {
    size_t end = ini.find('\n', start);
    if (end == std::string::npos) end = ini.size();
    std::string line = ini.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
    } else if (current == section && line.rfind(key + "=", 0) == 0) {
      return line.substr(key.size() + 1);
    }
  }
  return std::nullopt;
}

std::string WithIniValue(const std::string& ini, const std::string& key, const std::string& value) {
  return std::regex_replace(ini, std::regex("(^|\n)" + key + "=[^\r\n]*"),
                            "$1" + key + "=" + value);
}

void ConnectorE2ETest::SetUp() {
  if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " build not present";
  GetParam().InstallInto(dir_);
}

void ConnectorE2ETest::TearDown() {
  // A failed assertion may leave the program running, or the INI read-only.
  if (process_) process_->Wait(std::chrono::milliseconds(1));
  std::error_code ignored;
  std::filesystem::permissions(
      dir_.path() / "TolvenarConnector.ini",
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
      std::filesystem::perm_options::replace, ignored);
}

void ConnectorE2ETest::WriteIni(const std::string& text) {
  dir_.Write("TolvenarConnector.ini", text);
}

std::string ConnectorE2ETest::Ini() const { return dir_.Read("TolvenarConnector.ini"); }

std::string ConnectorE2ETest::Log() const {
  if (!std::filesystem::is_regular_file(dir_.path() / "TolvenarConnector.log")) return "";
  return dir_.Read("TolvenarConnector.log");
}

size_t ConnectorE2ETest::LoggedCount(const std::string& cnpj, const std::string& prefix) const {
  const std::string log = Log();
  const std::regex entry(EntryStart(cnpj) + EscapeForRegex(prefix));
  return static_cast<size_t>(
      std::distance(std::sregex_iterator(log.begin(), log.end(), entry), std::sregex_iterator()));
}

bool ConnectorE2ETest::Logged(const std::string& cnpj, const std::string& message) const {
  return std::regex_search(Log(), std::regex(EntryStart(cnpj) + EscapeForRegex(message) + "\r\n"));
}

void ConnectorE2ETest::Start() {
  process_ = std::make_unique<Process>(GetParam().Command(dir_, {"-console"}), dir_.Dir());
  ASSERT_TRUE(process_->WaitForOutput("Pressione ENTER para encerrar.", kE2ELimit))
      << process_->out_so_far();
}

void ConnectorE2ETest::Stop() {
  process_->WriteStdIn("\r\n");
  const ProcessResult result = process_->Wait(kE2ELimit);
  process_.reset();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
}

std::string ConnectorE2ETest::Explain(const tools::ConnectionServer& server) const {
  return "\n--- log ---\n" + Log() + "--- server ---\n" + server.Report();
}

}  // namespace tolvenar::testing
