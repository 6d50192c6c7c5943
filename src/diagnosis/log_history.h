// What the activity log says of one profile lately: its last entries, read
// from the tail of the log without writing anything or holding the service
// off, and whether the newest of them is a recent failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "env/env.h"

namespace tolvenar {

class TTolvenarConnectorProfile;

struct LogEntry {
  LocalTime time;
  std::string cnpj;
  // The message; the lines of an entry that spans several are joined by
  // CR LF, as written.
  std::string message;
};

// The entries whose first line starts in `text`, in file order. Lines
// before the first entry (the end of one cut off by the read) are dropped;
// a line that does not start an entry continues the one before it.
std::vector<LogEntry> ParseLogEntries(std::string_view text);

// Seconds from `then` to `now`, both readings of the local clock; negative
// when `then` is later.
long long SecondsBetween(const LocalTime& then, const LocalTime& now);

// "12 s", "4 min", "3 h", "2 dias": the age, rounded down to its unit.
std::string FormatAge(long long seconds);

// True for an entry written from a log message of kind failure or warning
// (FindLogMessage): a refused plain-HTTP server, a communication failure,
// and the server's refusals of an enrollment, a poll or a result (a
// refusal repeated at each poll keeps the profile from working too).
bool IsFailureEntry(std::string_view message);

enum class LogHistoryState { kRead, kMissing, kUnreadable };

struct LogHistory {
  LogHistoryState state = LogHistoryState::kMissing;
  // The profile's last entries, newest last.
  std::vector<LogEntry> entries;
};

// How much of each log file is read: the tail, whatever the file's size.
constexpr size_t kLogTailBytes = 256 * 1024;

// The last `count` entries of `cnpj` in the log at `path`. Only the tail of
// the file is read; when the whole current file holds fewer, the tail of
// its first older generation is read too (it was rotated lately).
LogHistory ReadLogHistory(Env& env, const std::string& path, const std::string& cnpj, size_t count);

struct RecentActivity {
  // Report lines, without indentation or line ends.
  std::vector<std::string> lines;
  // The profile's newest entry is a failure younger than three poll
  // intervals: the profile fails.
  bool failing = false;
};

// The check's view of the log for one profile. `enrolled`: the profile
// holds a stored secret, so it polls; only then may the log fail it.
RecentActivity CheckRecentActivity(Env& env, const TTolvenarConnectorProfile& profile,
                                   bool enrolled);

}  // namespace tolvenar
