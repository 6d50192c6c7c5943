// The activity log: one entry per call, appended beside the executable,
// best effort.
#include <cstdio>

#include "config/profile.h"
#include "platform/env.h"
#include "worker/worker.h"

namespace tolvenar {

void TTolvenarConnectorWorker::Log(const std::string& text) {
  try {
    const std::string path = env_->ExecutableDir() + "TolvenarConnector.log";
    const LocalTime t = env_->Now();
    std::string separator = env_->TimeSeparator();
    if (separator.empty()) separator = ":";
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d ", t.year, t.month, t.day);
    char hour[4], minute[4], second[4];
    std::snprintf(hour, sizeof hour, "%02d", t.hour);
    std::snprintf(minute, sizeof minute, "%02d", t.minute);
    std::snprintf(second, sizeof second, "%02d", t.second);
    const std::string entry = std::string(date) + hour + separator + minute + separator + second +
                              " [" + FProfile->CNPJ() + "] " + text + "\r\n";
    env_->AppendToFile(path, entry);
  } catch (...) {
    // A log entry is never worth disturbing the worker.
  }
}

}  // namespace tolvenar
