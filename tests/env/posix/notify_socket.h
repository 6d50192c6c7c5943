// A datagram socket that plays systemd's side of the notify protocol.
#pragma once

#include <chrono>
#include <string>

namespace tolvenar::testing {

class NotifySocket {
 public:
  // Bound to `name`: a path, or an abstract name written with a leading '@'.
  explicit NotifySocket(const std::string& name);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next datagram, or "" when none came within `wait`.
  std::string Receive(std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
  std::string path_;
};

// A name no other test uses: an abstract one when `abstract`.
std::string UniqueSocketName(bool abstract, const std::string& dir);

}  // namespace tolvenar::testing
