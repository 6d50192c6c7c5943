#include "diagnosis/log_history.h"

#include "base/text.h"
#include "config/cnpj.h"
#include "config/profile.h"
#include "messages/messages.h"

namespace tolvenar {

namespace {

constexpr const char* kLogFileName = "TolvenarConnector.log";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// What a normalised CNPJ is made of.
bool IsCNPJCharacter(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z'); }

// Reads `digits` decimal digits at `at`, advancing it; -1 when absent.
int ReadNumber(std::string_view line, size_t& at, size_t digits) {
  if (at + digits > line.size()) return -1;
  int value = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (!IsDigit(line[at + i])) return -1;
    value = value * 10 + (line[at + i] - '0');
  }
  at += digits;
  return value;
}

bool Expect(std::string_view line, size_t& at, std::string_view text) {
  if (line.substr(at, text.size()) != text) return false;
  at += text.size();
  return true;
}

// "yyyy-mm-dd hh<sep>nn<sep>ss [<cnpj>] <message>": the time separator is
// the regional one of the writing process, one character of 1 to 4 bytes.
bool ParseEntryLine(std::string_view line, LogEntry* entry) {
  size_t at = 0;
  LocalTime& t = entry->time;
  if ((t.year = ReadNumber(line, at, 4)) < 0 || !Expect(line, at, "-") ||
      (t.month = ReadNumber(line, at, 2)) < 1 || t.month > 12 || !Expect(line, at, "-") ||
      (t.day = ReadNumber(line, at, 2)) < 1 || t.day > 31 || !Expect(line, at, " ") ||
      (t.hour = ReadNumber(line, at, 2)) < 0 || t.hour > 23) {
    return false;
  }
  size_t separator_end = at;
  while (separator_end < line.size() && separator_end - at < 4 && !IsDigit(line[separator_end]) &&
         line[separator_end] != ' ') {
    ++separator_end;
  }
  const std::string_view separator = line.substr(at, separator_end - at);
  if (separator.empty()) return false;
  at = separator_end;
  if ((t.minute = ReadNumber(line, at, 2)) < 0 || t.minute > 59 || !Expect(line, at, separator) ||
      (t.second = ReadNumber(line, at, 2)) < 0 || t.second > 60 || !Expect(line, at, " [")) {
    return false;
  }
  const size_t cnpj_start = at;
  while (at < line.size() && IsCNPJCharacter(line[at])) ++at;
  if (at == cnpj_start) return false;
  entry->cnpj = std::string(line.substr(cnpj_start, at - cnpj_start));
  if (!Expect(line, at, "] ")) return false;
  entry->message = std::string(line.substr(at));
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(int year, int month, int day) {
  const long long y = year - (month <= 2 ? 1 : 0);
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

long long SecondsOf(const LocalTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600LL + t.minute * 60LL +
         t.second;
}

std::string TwoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

std::string FormatTime(const LocalTime& t) {
  return std::to_string(t.year) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day) + " " +
         TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
}

// Keeps the last `count` of `entries` that belong to `cnpj`.
std::vector<LogEntry> LastOf(std::vector<LogEntry> entries, const std::string& cnpj, size_t count) {
  std::vector<LogEntry> kept;
  for (LogEntry& entry : entries) {
    if (entry.cnpj == cnpj) kept.push_back(std::move(entry));
  }
  if (kept.size() > count) kept.erase(kept.begin(), kept.end() - static_cast<ptrdiff_t>(count));
  return kept;
}

}  // namespace

std::vector<LogEntry> ParseLogEntries(std::string_view text) {
  std::vector<LogEntry> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    LogEntry entry;
    if (ParseEntryLine(line, &entry)) {
      entries.push_back(std::move(entry));
    } else if (!entries.empty() && end < text.size()) {
      entries.back().message.append("\r\n").append(line);
    }
  }
  return entries;
}

long long SecondsBetween(const LocalTime& then, const LocalTime& now) {
  return SecondsOf(now) - SecondsOf(then);
}

std::string FormatAge(long long seconds) {
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  if (seconds < 86400) return std::to_string(seconds / 3600) + " h";
  const long long days = seconds / 86400;
  return std::to_string(days) + (days == 1 ? " dia" : " dias");
}

bool IsFailureEntry(std::string_view message) {
  const OperatorMessage* written_from = FindLogMessage(message);
  return written_from != nullptr && written_from->kind != MessageKind::kNotice;
}

LogHistory ReadLogHistory(Env& env, const std::string& path, const std::string& cnpj,
                          size_t count) {
  // Entries carry the CNPJ as the loader keeps it.
  const std::string key = NormalizeCNPJ(cnpj);
  LogHistory history;
  std::string tail;
  uint64_t size = 0;
  switch (env.ReadFileTail(path, kLogTailBytes, &tail, &size)) {
    case TailRead::kMissing:
      history.state = LogHistoryState::kMissing;
      break;
    case TailRead::kUnreadable:
      history.state = LogHistoryState::kUnreadable;
      return history;
    case TailRead::kRead:
      history.state = LogHistoryState::kRead;
      history.entries = LastOf(ParseLogEntries(tail), key, count);
      // Read whole and still short: the file began lately, by a rotation.
      if (size > kLogTailBytes || history.entries.size() >= count) return history;
      break;
  }
  std::string older;
  if (env.ReadFileTail(LogGenerationPath(path, 1), kLogTailBytes, &older, &size) !=
      TailRead::kRead) {
    return history;
  }
  std::vector<LogEntry> entries = LastOf(ParseLogEntries(older), key, count);
  for (LogEntry& entry : history.entries) entries.push_back(std::move(entry));
  history.entries = LastOf(std::move(entries), key, count);
  history.state = LogHistoryState::kRead;
  return history;
}

RecentActivity CheckRecentActivity(Env& env, const TTolvenarConnectorProfile& profile,
                                   bool enrolled) {
  RecentActivity activity;
  std::vector<std::string>& lines = activity.lines;
  const std::string path = env.ExecutableDir() + kLogFileName;
  const LogHistory history = ReadLogHistory(env, path, profile.CNPJ(), 3);
  lines.push_back(FillMessage(kMsgHistoryHeader, {kLogFileName}));
  if (history.state == LogHistoryState::kUnreadable) {
    lines.push_back("  " + FillMessage(kMsgHistoryUnreadable, {OneLineLoggableText(path)}));
    return activity;
  }
  if (history.entries.empty()) {
    lines.push_back(std::string("  ") + (history.state == LogHistoryState::kMissing
                                             ? kMsgHistoryMissing
                                             : kMsgHistoryNone));
    return activity;
  }
  const LocalTime now = env.Now();
  for (const LogEntry& entry : history.entries) {
    const long long age = SecondsBetween(entry.time, now);
    lines.push_back(
        "  " + (age >= 0
                    ? FillMessage(kMsgHistoryEntry, {FormatTime(entry.time), FormatAge(age),
                                                     OneLineLoggableText(entry.message)})
                    : FillMessage(kMsgHistoryEntryFuture,
                                  {FormatTime(entry.time), OneLineLoggableText(entry.message)})));
  }
  const LogEntry& newest = history.entries.back();
  const long long age = SecondsBetween(newest.time, now);
  // The log has whole seconds; an entry of the last three intervals counts.
  if (enrolled && IsFailureEntry(newest.message) && age >= 0 &&
      age * 1000 < 3LL * profile.PollIntervalMS()) {
    lines.push_back(
        FillMessage(kMsgHistoryFailure, {FormatAge(age), OneLineLoggableText(newest.message)}));
    activity.failing = true;
  }
  return activity;
}

}  // namespace tolvenar
