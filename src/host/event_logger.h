// TEventLogger: writes events under one source of the platform's event log.
// The source is opened on the first message and kept until destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tolvenar {

class EventSource;
class ServicePlatform;

constexpr uint16_t kEventTypeError = 1;

class TEventLogger {
 public:
  TEventLogger(ServicePlatform& platform, std::string source_name);
  ~TEventLogger();

  void LogMessage(const std::string& message, uint16_t event_type = kEventTypeError,
                  uint16_t category = 0, uint32_t id = 0);

  const std::string& SourceName() const { return FName; }

 private:
  ServicePlatform& platform_;
  std::string FName;
  std::unique_ptr<EventSource> FEventLog;
};

}  // namespace tolvenar
