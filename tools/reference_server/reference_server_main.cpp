// tolvenar-reference-server: the reference connection server as a program.
#include <iostream>
#include <stdexcept>

#include "reference_server/command_line.h"
#include "reference_server/connection_server.h"

namespace {

constexpr const char* kUsage = R"(Usage: tolvenar-reference-server [options]
Reference connection server for the Tolvenar Connector: the actions
connector-enroll, connector-poll and connector-result at /api.php?action=...
A reference for integrators and tests, not a production server.

  --host ADDRESS        address to listen on (default 127.0.0.1)
  --port N              port (default 8080; 0 picks a free one)
  --port-file FILE      write the port in use to FILE once listening
  --cert FILE --key FILE
                        serve HTTPS with this PEM certificate and key
  --code CNPJ:CODE      accept this enrollment code once for this CNPJ
                        (repeatable)
  --poll-status N       answer every poll with status N (e.g. 503)
  --result-status N     answer every result post with status N (e.g. 500)

Admin routes, answered to loopback clients only:
  POST /admin/commands[?cnpj=CNPJ]    queue a command (JSON object; "id" is
                                      added when missing)
  POST /admin/codes      {"cnpj":"...","code":"..."}
  POST /admin/faults     {"poll_status":N,"result_status":N} (0 restores)
  GET  /admin/results | /admin/requests | /admin/enrollments | /admin/status
  GET  /admin/report     readable summary

Request bodies over 80 MiB are refused with 413. Only the latest 1000
requests and 1000 results are kept; older ones are dropped. The admin routes
show the values of the headers X-Tolvenar-Connector, Authorization and
X-Tolvenar-Session, enrollment codes, issued secrets and the credentials
handed out with commands as "***".
)";

}  // namespace

int main(int argc, char** argv) {
  using namespace tolvenar::tools;
  try {
    BlockStopSignals();
    ListenFlags where;
    where.listen.port = 8080;
    std::vector<std::string> codes;
    int poll_status = 0, result_status = 0;
    for (const Flag& flag : ParseFlags(argc, argv,
                                       {"host", "port", "port-file", "cert", "key", "code",
                                        "poll-status", "result-status"})) {
      if (flag.name == "help") {
        std::cout << kUsage;
        return 0;
      }
      if (where.Take(flag)) continue;
      if (flag.name == "code") codes.push_back(flag.value);
      if (flag.name == "poll-status") poll_status = ParseInt(flag.value, "--poll-status");
      if (flag.name == "result-status") result_status = ParseInt(flag.value, "--result-status");
    }
    where.Check();

    ConnectionServer server(where.listen);
    for (const std::string& code : codes) {
      const size_t colon = code.find(':');
      if (colon == std::string::npos) throw std::invalid_argument("--code wants CNPJ:CODE");
      server.AcceptCode(code.substr(0, colon), code.substr(colon + 1));
    }
    server.SetPollStatus(poll_status);
    server.SetResultStatus(result_status);
    if (!where.port_file.empty()) WritePortFile(where.port_file, server.Port());
    std::cout << "Reference connection server at " << server.BaseURL()
              << " (admin routes under /admin/, loopback only). Stop with Ctrl+C." << std::endl;
    WaitForStopSignal();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tolvenar-reference-server: " << e.what() << "\n";
    return 2;
  }
}
