// Catches what syslog(3) sends, by serving /dev/log while no syslog daemon
// does (as in a bare container). Unavailable otherwise.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tolvenar::testing {

class SyslogCapture {
 public:
  SyslogCapture();
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  bool available() const { return fd_ >= 0; }
  // Every message received within `wait` after the last one, as sent
  // ("<priority>timestamp ident[pid]: text").
  std::vector<std::string> Drain(std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
};

}  // namespace tolvenar::testing
