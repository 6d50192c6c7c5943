// What every end-to-end test of the connector executables shares: a folder
// with the executable and its INI, starting it in console mode, stopping it
// with ENTER, and reading its INI and activity log (Linux only).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar::tools {
class ConnectionServer;
}

namespace tolvenar::testing {

// Bound of every wait: a Wine start takes a few seconds. Each wait ends as
// soon as the state it waits for is there.
inline constexpr std::chrono::seconds kE2ELimit{60};

// Polls `ready` every 50 ms until it holds (true) or kE2ELimit passed.
bool Eventually(const std::function<bool()>& ready);

// One profile section, CR LF lines, with plain HTTP allowed and a one-second
// poll interval.
std::string IniSection(const std::string& section, const std::string& server,
                       const std::string& local_api, const std::string& cnpj,
                       const std::string& code);

// The value of `key` in `section` of INI text; nothing when absent.
std::optional<std::string> IniValue(const std::string& ini, const std::string& section,
                                    const std::string& key);

// `ini` with every line "key=..." replaced by "key=value".
std::string WithIniValue(const std::string& ini, const std::string& key, const std::string& value);

class ConnectorE2ETest : public ::testing::TestWithParam<ConnectorTarget> {
 protected:
  void SetUp() override;
  void TearDown() override;

  void WriteIni(const std::string& text);
  std::string Ini() const;
  std::string Log() const;  // "" while there is no log file
  // How many entries "yyyy-mm-dd hh:nn:ss [cnpj] <message>" the log holds
  // whose message starts with `prefix`.
  size_t LoggedCount(const std::string& cnpj, const std::string& prefix) const;
  // Whether the log holds the whole entry with exactly `message`.
  bool Logged(const std::string& cnpj, const std::string& message) const;

  // Starts the copy in console mode and waits for its console line.
  void Start();
  // ENTER, then the program must end by itself, with exit code 0 and
  // nothing on standard error.
  void Stop();

  // The log and the server's report, for a failed assertion.
  std::string Explain(const tools::ConnectionServer& server) const;

  TempDir dir_;
  std::unique_ptr<Process> process_;
};

}  // namespace tolvenar::testing
