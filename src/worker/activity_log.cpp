// The activity log: one entry per call, appended beside the executable,
// best effort.
#include <cstdio>

#include "config/profile.h"
#include "platform/env.h"
#include "worker/worker.h"

namespace tolvenar {

namespace {
// Unattended for years: at most 10 MiB in the current file and five older
// ones, 60 MiB in all.
constexpr LogRotation kLogRotation{10 * 1024 * 1024, 5};
}  // namespace

void TTolvenarConnectorWorker::Log(const std::string& text) {
  try {
    const std::string path = env_->ExecutableDir() + "TolvenarConnector.log";
    const LocalTime t = env_->Now();
    std::string separator = env_->TimeSeparator();
    if (separator.empty()) separator = ":";
    char timestamp[64];
    std::snprintf(timestamp, sizeof timestamp, "%04d-%02d-%02d %02d%s%02d%s%02d", t.year, t.month,
                  t.day, t.hour, separator.c_str(), t.minute, separator.c_str(), t.second);
    std::string entry;
    entry.reserve(sizeof timestamp + FProfile->CNPJ().size() + text.size() + 8);
    entry.append(timestamp).append(" [").append(FProfile->CNPJ()).append("] ");
    entry.append(text).append("\r\n");
    env_->AppendToFile(path, entry, kLogRotation);
  } catch (...) {
    // A log entry is never worth disturbing the worker.
  }
}

}  // namespace tolvenar
