#include "host/event_logger.h"

#include <utility>

#include "env/service_platform.h"

namespace tolvenar {

TEventLogger::TEventLogger(ServicePlatform& platform, std::string source_name)
    : platform_(platform), FName(std::move(source_name)) {}

TEventLogger::~TEventLogger() = default;

void TEventLogger::LogMessage(const std::string& message, uint16_t event_type, uint16_t category,
                              uint32_t id) {
  if (!FEventLog) FEventLog = platform_.OpenEventSource(FName);
  FEventLog->Report(event_type, category, id, message);
}

}  // namespace tolvenar
