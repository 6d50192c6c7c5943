// The activity log: one entry per call, appended beside the executable,
// best effort.
#include <cstdio>

#include "base/text.h"
#include "config/profile.h"
#include "connector/worker.h"
#include "env/env.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {
// Unattended for years: at most 10 MiB in the current file and five older
// ones, 60 MiB in all.
constexpr LogRotation kLogRotation{10 * 1024 * 1024, 5};

// The journal's priority of a log entry, from its message's kind: a
// failure is an error, a warning a warning, a notice a notice; an entry
// from no listed message is information.
JournalPriority PriorityOf(std::string_view entry) {
  const OperatorMessage* message = FindLogMessage(entry);
  if (message == nullptr) return JournalPriority::kInfo;
  switch (message->kind) {
    case MessageKind::kFailure:
      return JournalPriority::kError;
    case MessageKind::kWarning:
      return JournalPriority::kWarning;
    case MessageKind::kNotice:
      return JournalPriority::kNotice;
  }
  return JournalPriority::kInfo;
}

// The message on one journal line: a journal record ends at a line break,
// so runs of control characters (an operating system's CR LF) become one
// blank.
std::string OneJournalLine(std::string_view text) { return FoldControlRuns(text); }

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
    // Under systemd the journal gets each entry too, so that the unit's
    // journal shows enrollments, failures and refusals; the journal stamps
    // its own time.
    env_->WriteJournal(PriorityOf(text), "[" + FProfile->CNPJ() + "] " + OneJournalLine(text));
  } catch (...) {
    // A log entry is never worth disturbing the worker.
  }
}

}  // namespace tolvenar
