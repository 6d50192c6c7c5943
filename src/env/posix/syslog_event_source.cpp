#include <syslog.h>

#include "env/posix/service_posix.h"

namespace tolvenar {

namespace {

int Priority(uint16_t event_type) {
  switch (event_type) {
    case 1:
      return LOG_ERR;
    case 2:
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

class SyslogEventSource : public EventSource {
 public:
  explicit SyslogEventSource(std::string ident) : ident_(std::move(ident)) {}
  ~SyslogEventSource() override { closelog(); }

  void Report(uint16_t event_type, uint16_t, uint32_t, const std::string& message) override {
    // syslog keeps one identity per process: set this source's before each
    // event, since the host has two sources.
    openlog(ident_.c_str(), LOG_PID, LOG_DAEMON);
    syslog(Priority(event_type), "%s", message.c_str());
  }

 private:
  std::string ident_;
};

}  // namespace

std::unique_ptr<EventSource> NewSyslogEventSource(const std::string& ident) {
  return std::make_unique<SyslogEventSource>(ident);
}

}  // namespace tolvenar
