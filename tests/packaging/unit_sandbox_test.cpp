// The unit's system call filter against what the connector really calls: an
// enrollment and a relay under strace, every call checked against the sets
// of the unit's SystemCallFilter= lines as systemd-analyze expands them.
#include <gtest/gtest.h>

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
#include "support/e2e_targets.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using namespace std::chrono_literals;

// The system calls of a systemd group ("@system-service"), its nested
// groups expanded, or the name itself for a single call.
std::set<std::string> Expand(const std::string& entry) {
  if (entry.empty() || entry[0] != '@') return {entry};
  const testing::ProcessResult r = testing::RunProcess(
      {"/usr/bin/systemd-analyze", "syscall-filter", "--no-pager", entry}, "/", "", 60s);
  EXPECT_EQ(r.exit_code, 0) << entry << r.err;
  std::set<std::string> calls;
  std::istringstream lines(r.out);
  std::string line;
  std::getline(lines, line);  // the group's own name
  while (std::getline(lines, line)) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line[start] == '#') continue;
    for (const std::string& call : Expand(line.substr(start))) calls.insert(call);
  }
  return calls;
}

TEST(UnitSandboxTest, EverySystemCallOfAnEnrollmentAndARelayPassesTheUnitsFilter) {
  if (std::string(TC_DEB_FILE).empty()) {
    GTEST_SKIP() << "checked in the tree that builds the package: sanitizer runtimes make "
                    "system calls of their own";
  }
  const testing::ConnectorTarget target = testing::ConnectorTargets().front();
  if (!target.available()) GTEST_SKIP() << "Linux build not present";

  // The filter as the unit states it: allowed sets, then denied ones ("~").
  std::set<std::string> allowed, denied;
  std::istringstream unit(SystemdUnitText(
      ConnectorInstallRequest(*Env::Default(), "/opt/tolvenar-connector/TolvenarConnector"),
      SystemdOptions{}));
  for (std::string line; std::getline(unit, line);) {
    if (line.rfind("SystemCallFilter=", 0) != 0) continue;
    std::string value = line.substr(line.find('=') + 1);
    const bool deny = !value.empty() && value[0] == '~';
    std::istringstream entries(deny ? value.substr(1) : value);
    for (std::string entry; entries >> entry;) {
      for (const std::string& call : Expand(entry)) (deny ? denied : allowed).insert(call);
    }
  }
  ASSERT_GT(allowed.size(), 100u);
  ASSERT_GT(denied.size(), 10u);

  testing::TempDir dir;
  target.InstallInto(dir);
  tools::SampleLocalApi api;
  tools::ConnectionServer server;
  server.AcceptCode("12345678000195", "AB-12CD");
  server.QueueCommand(R"({"id":"1","method":"GET","path":"/api/v1/dashboard/summary"})");
  dir.Write("TolvenarConnector.ini",
            testing::IniSection("Connector", server.BaseURL(), api.BaseURL(), "12345678000195",
                                "AB-12CD"));
  testing::Process process({"/usr/bin/strace", "-f", "-qq", "-o", dir.File("calls"),
                            dir.File(target.executable_name), "-console"},
                           dir.Dir());
  ASSERT_TRUE(process.WaitForOutput("Pressione ENTER para encerrar.", testing::kE2ELimit))
      << process.out_so_far();
  EXPECT_TRUE(testing::Eventually([&] { return !server.Results().empty(); })) << server.Report();
  process.WriteStdIn("\r\n");
  const testing::ProcessResult result = process.Wait(testing::kE2ELimit);
  EXPECT_EQ(result.exit_code, 0) << result.err;

  // "pid name(args) = result"; resumed calls and signals name no new call.
  std::set<std::string> used;
  std::istringstream trace(dir.Read("calls"));
  const std::regex call(R"(^\d+\s+([a-z0-9_]+)\()");
  for (std::string line; std::getline(trace, line);) {
    std::smatch match;
    if (std::regex_search(line, match, call)) used.insert(match[1]);
  }
  ASSERT_GT(used.size(), 20u) << dir.Read("calls");
  for (const std::string& name : used) {
    EXPECT_TRUE(allowed.count(name) == 1 && denied.count(name) == 0)
        << name << " would fail with EPERM under the unit's filter";
  }
}

}  // namespace
}  // namespace tolvenar
