// tolvenar-sample-local-api: the sample local API as a program.
#include <iostream>
#include <stdexcept>

#include "reference_server/command_line.h"
#include "reference_server/sample_local_api.h"

namespace {

constexpr const char* kUsage = R"(Usage: tolvenar-sample-local-api [options]
Sample local API for the Tolvenar Connector: the 22 relayed routes with small
sample answers, and /health with a "version".
A reference for integrators and tests, not a production server.

  --host ADDRESS        address to listen on (default 127.0.0.1)
  --port N              port (default 3001; 0 picks a free one)
  --port-file FILE      write the port in use to FILE once listening
  --cert FILE --key FILE
                        serve HTTPS with this PEM certificate and key
  --version TEXT        version reported by /health (default 2.4.1)
  --fail PATH[=STATUS]  make PATH answer STATUS (default 500) (repeatable)
  --slow PATH=MS        make PATH wait MS milliseconds first (repeatable)

Admin routes, answered to loopback clients only:
  POST /admin/faults   {"path":"...","status":N,"delay_ms":N,"body":"..."}
                       (status 0 with no delay restores the route)
  GET  /admin/requests | /admin/report

Request bodies over 80 MiB are refused with 413. Only the latest 1000
requests are kept; older ones are dropped. The admin routes show the values
of the headers Authorization, X-Tolvenar-Session and X-Tolvenar-Connector
as "***".
)";

// "PATH=NUMBER" into its two halves; the number is `fallback` when absent.
std::pair<std::string, int> PathAndNumber(const std::string& text, int fallback,
                                          const std::string& what) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    if (fallback < 0) throw std::invalid_argument(what + " wants PATH=NUMBER");
    return {text, fallback};
  }
  return {text.substr(0, equals), tolvenar::tools::ParseInt(text.substr(equals + 1), what)};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tolvenar::tools;
  try {
    BlockStopSignals();
    ListenFlags where;
    where.listen.port = 3001;
    std::string version = SampleLocalApi::kDefaultVersion;
    std::vector<std::pair<std::string, RouteFault>> faults;
    for (const Flag& flag : ParseFlags(
             argc, argv, {"host", "port", "port-file", "cert", "key", "version", "fail", "slow"})) {
      if (flag.name == "help") {
        std::cout << kUsage;
        return 0;
      }
      if (where.Take(flag)) continue;
      if (flag.name == "version") version = flag.value;
      if (flag.name == "fail") {
        const auto [path, status] = PathAndNumber(flag.value, 500, "--fail");
        faults.push_back({path, RouteFault{status, 0, ""}});
      }
      if (flag.name == "slow") {
        const auto [path, delay] = PathAndNumber(flag.value, -1, "--slow");
        faults.push_back({path, RouteFault{0, delay, ""}});
      }
    }

    where.Check();
    SampleLocalApi api(where.listen, version);
    for (const auto& [path, fault] : faults) api.SetFault(path, fault);
    if (!where.port_file.empty()) WritePortFile(where.port_file, api.Port());
    std::cout << "Sample local API at " << api.BaseURL() << ", version " << version
              << " (admin routes under /admin/, loopback only). Stop with Ctrl+C." << std::endl;
    WaitForStopSignal();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tolvenar-sample-local-api: " << e.what() << "\n";
    return 2;
  }
}
