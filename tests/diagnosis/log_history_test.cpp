// The recent past of a profile as the check reads it from the activity log:
// only the tail, the rotated file when the current one is new, its age by
// an injected clock, and a failure only when the newest entry is a recent
// one of a profile that polls.
#include "diagnosis/log_history.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "config/profile.h"
#include "messages/messages.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;

constexpr const char* kCnpj = "12345678000195";

std::string Entry(const std::string& time, const std::string& cnpj, const std::string& message) {
  return "2026-12-10 " + time + " [" + cnpj + "] " + message + "\r\n";
}

std::vector<std::string> Messages(const std::vector<LogEntry>& entries) {
  std::vector<std::string> messages;
  for (const LogEntry& entry : entries) messages.push_back(entry.message);
  return messages;
}

TEST(LogHistoryTest, ParsesEntriesAsTheLogWritesThem) {
  const std::string text =
      "de uma entrada cortada pela leitura\r\n"  // the end of an entry cut off
      "2026-12-10 09.05.07 [1] Vinculacao concluida com sucesso.\r\n"
      "2026-12-10 23:59:59 [22] Falha de comunicacao: System Error.  Code: 5.\r\n"
      "Access is denied.\r\n"
      "2026-1-10 09:05:07 [1] not an entry: a continuation\r\n"
      "2026-12-10 09:05:07 [] not an entry either\r\n"
      // A regional separator of two bytes (UTF-8).
      "2026-12-31 00\xC2\xB7"
      "00\xC2\xB7"
      "01 [333] Servidor de conexao respondeu HTTP 503.\r\n";
  const std::vector<LogEntry> entries = ParseLogEntries(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].cnpj, "1");
  EXPECT_EQ(entries[0].time.minute, 5);
  EXPECT_EQ(entries[1].message,
            "Falha de comunicacao: System Error.  Code: 5.\r\nAccess is denied.\r\n"
            "2026-1-10 09:05:07 [1] not an entry: a continuation\r\n"
            "2026-12-10 09:05:07 [] not an entry either");
  EXPECT_EQ(entries[1].time.hour, 23);
  EXPECT_EQ(entries[2].cnpj, "333");
  EXPECT_EQ(entries[2].time.month, 12);
  EXPECT_EQ(entries[2].time.second, 1);
}

TEST(LogHistoryTest, AgeCountsAcrossDaysMonthsAndYears) {
  struct Case {
    LocalTime then, now;
    long long seconds;
    const char* shown;
  };
  const Case cases[] = {
      {{2026, 12, 10, 9, 5, 2}, {2026, 12, 10, 9, 5, 7}, 5, "5 s"},
      {{2026, 12, 10, 9, 3, 7}, {2026, 12, 10, 9, 5, 6}, 119, "1 min"},
      {{2026, 12, 31, 23, 59, 59}, {2027, 1, 1, 0, 0, 1}, 2, "2 s"},
      {{2028, 2, 28, 12, 0, 0}, {2028, 3, 1, 12, 0, 0}, 2 * 86400, "2 dias"},
      {{2026, 2, 28, 12, 0, 0}, {2026, 3, 1, 11, 0, 0}, 23 * 3600, "23 h"},
      {{2025, 12, 10, 9, 5, 7}, {2026, 12, 10, 9, 5, 7}, 365 * 86400, "365 dias"},
      {{2026, 12, 9, 9, 5, 7}, {2026, 12, 10, 9, 5, 7}, 86400, "1 dia"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecondsBetween(c.then, c.now), c.seconds) << c.shown;
    EXPECT_EQ(FormatAge(c.seconds), c.shown);
    EXPECT_EQ(SecondsBetween(c.now, c.then), -c.seconds);
  }
}

TEST(LogHistoryTest, FailuresAreTheMessagesOfAFailure) {
  // Built from the messages as the connector writes them.
  const std::string failures[] = {
      kMsgInsecureRefused,
      FillMessage(kMsgCommunicationFailure, {"Error sending data: (7) Couldn't connect"}),
      FillMessage(kMsgEnrollRefused, {"401"}),
      FillMessage(kMsgPollRefused, {"403"}),
      FillMessage(kMsgPollRefused, {"503"}),
      FillMessage(kMsgResultRefused, {"7", "500"}),
  };
  for (const std::string& message : failures) EXPECT_TRUE(IsFailureEntry(message)) << message;
  EXPECT_FALSE(IsFailureEntry(kMsgEnrolled));
  EXPECT_FALSE(IsFailureEntry("Servidor de conexao"));
  EXPECT_FALSE(IsFailureEntry(""));
}

// The check counts an entry a failure exactly when its message's kind is
// failure or warning, for every log message, however the entry goes on.
TEST(LogHistoryTest, FailureAgreesWithEachLogMessagesKind) {
  for (const OperatorMessage& message : kOperatorMessages) {
    if (message.where != "log") continue;
    const std::string entry = FillMessage(message.text, {"7", "500"});
    const bool failure = message.kind != MessageKind::kNotice;
    EXPECT_EQ(IsFailureEntry(entry), failure) << entry;
    EXPECT_EQ(IsFailureEntry(entry + "\r\nSegunda linha"), failure) << entry;
  }
}

class LogHistoryFileTest : public ::testing::Test {
 protected:
  LogHistoryFileTest() : env_(dir_.Dir()), path_(dir_.Dir() + "TolvenarConnector.log") {}

  LogHistory Read(size_t count = 3) { return ReadLogHistory(env_, path_, kCnpj, count); }

  testing::TempDir dir_;
  testing::FakeEnv env_;
  std::string path_;
};

TEST_F(LogHistoryFileTest, KeepsTheProfilesLastEntriesNewestLast) {
  dir_.Write("TolvenarConnector.log",
             Entry("09:00:01", kCnpj, "um") + Entry("09:00:02", kCnpj, "dois") +
                 Entry("09:00:03", "1", "outro perfil") + Entry("09:00:04", kCnpj, "tres") +
                 Entry("09:00:05", "123456780001950", "CNPJ mais longo") +
                 Entry("09:00:06", kCnpj, "quatro"));
  const LogHistory history = Read();
  EXPECT_EQ(history.state, LogHistoryState::kRead);
  EXPECT_THAT(Messages(history.entries), ElementsAre("dois", "tres", "quatro"));
}

// Entries are found by "[CNPJ]" as the loader keeps it, letters included:
// an alphanumeric profile is asked for as written in the INI file.
TEST_F(LogHistoryFileTest, AnAlphanumericCnpjFindsItsOwnEntries) {
  dir_.Write("TolvenarConnector.log", Entry("09:00:01", "12ABC34501DE35", "letras") +
                                          Entry("09:00:02", "1234501", "digitos") +
                                          Entry("09:00:03", "12ABC34501DE3", "mais curto") +
                                          Entry("09:00:04", "12abc34501de35", "nao escrito assim"));
  const LogHistory history = ReadLogHistory(env_, path_, "12.abc.345/01de-35", 3);
  EXPECT_EQ(history.state, LogHistoryState::kRead);
  EXPECT_THAT(Messages(history.entries), ElementsAre("letras"));
}

TEST_F(LogHistoryFileTest, ReadsOnlyTheTailOfABigLog) {
  // The profile's first entries lie before the tail; the rest is another
  // profile's chatter.
  std::string log = Entry("08:00:00", kCnpj, "antiga");
  const std::string chatter = Entry("08:30:00", "1", std::string(200, 'x'));
  while (log.size() < 3 * kLogTailBytes) log += chatter;
  log += Entry("09:00:00", kCnpj, "recente");
  dir_.Write("TolvenarConnector.log", log);
  // An older generation that must not be read: the current file is not new.
  dir_.Write("TolvenarConnector.1.log", Entry("07:00:00", kCnpj, "rodada"));

  const LogHistory history = Read();
  EXPECT_EQ(history.state, LogHistoryState::kRead);
  EXPECT_THAT(Messages(history.entries), ElementsAre("recente"));
}

TEST_F(LogHistoryFileTest, ANewLogIsCompletedFromTheRotatedOne) {
  dir_.Write("TolvenarConnector.1.log", Entry("08:00:00", kCnpj, "a") +
                                            Entry("08:00:01", kCnpj, "b") +
                                            Entry("08:00:02", kCnpj, "c"));
  dir_.Write("TolvenarConnector.log", Entry("09:00:00", kCnpj, "d"));
  EXPECT_THAT(Messages(Read().entries), ElementsAre("b", "c", "d"));

  // Just rotated, nothing written yet (or the current file gone).
  std::filesystem::remove(path_);
  const LogHistory history = Read();
  EXPECT_EQ(history.state, LogHistoryState::kRead);
  EXPECT_THAT(Messages(history.entries), ElementsAre("a", "b", "c"));
}

TEST_F(LogHistoryFileTest, AMissingOrUnreadableLogIsAStateNotAFailure) {
  EXPECT_EQ(Read().state, LogHistoryState::kMissing);
  std::filesystem::create_directory(path_);
  EXPECT_EQ(Read().state, LogHistoryState::kUnreadable);
}

#ifndef _WIN32
TEST_F(LogHistoryFileTest, FollowsNoLinkAndNeverWaitsOnAPipe) {
  dir_.Write("elsewhere.log", Entry("09:00:00", kCnpj, "plantada"));
  ASSERT_EQ(::symlink((dir_.Dir() + "elsewhere.log").c_str(), path_.c_str()), 0);
  EXPECT_EQ(Read().state, LogHistoryState::kUnreadable);
  std::filesystem::remove(path_);
  // Opening a pipe for reading would wait for a writer forever.
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(Read().state, LogHistoryState::kUnreadable);
}
#endif

class RecentActivityTest : public LogHistoryFileTest {
 protected:
  RecentActivityTest() : profile_(&env_.Protector()) {
    profile_.SetCNPJ(kCnpj);
    profile_.SetPollIntervalMS(3000);
    env_.SetNow({2026, 12, 10, 9, 5, 7});
  }
  TTolvenarConnectorProfile profile_;
};

TEST_F(RecentActivityTest, TheNewestEntryFailsTheProfileOnlyWhenARecentFailureOfAPollingProfile) {
  const std::string refused = "Servidor de conexao respondeu HTTP 403.";
  struct Case {
    const char* name;
    std::string log;
    bool enrolled;
    bool failing;
  };
  const Case cases[] = {
      {"refused poll 5 s ago", Entry("09:05:02", kCnpj, refused), true, true},
      {"server error 8 s ago", Entry("09:04:59", kCnpj, "Servidor de conexao respondeu HTTP 503."),
       true, true},
      {"communication failure", Entry("09:05:06", kCnpj, "Falha de comunicacao: Error"), true,
       true},
      {"refused poll three intervals ago", Entry("09:04:58", kCnpj, refused), true, false},
      {"refused, then enrolled again",
       Entry("09:05:02", kCnpj, refused) + Entry("09:05:03", kCnpj, kMsgEnrolled), true, false},
      {"another profile's refusal",
       Entry("09:05:02", "1", refused) + Entry("09:00:00", kCnpj, kMsgEnrolled), true, false},
      {"not enrolled: judged by its probes", Entry("09:05:02", kCnpj, refused), false, false},
      {"an entry ahead of the clock", Entry("09:06:00", kCnpj, refused), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir_.Write("TolvenarConnector.log", c.log);
    const RecentActivity activity = CheckRecentActivity(env_, profile_, c.enrolled);
    EXPECT_EQ(activity.failing, c.failing) << ::testing::PrintToString(activity.lines);
    EXPECT_EQ(activity.lines.front(), "Atividade recente (TolvenarConnector.log):");
  }
}

TEST_F(RecentActivityTest, ShowsEachEntryWithItsAgeOnOneLine) {
  dir_.Write("TolvenarConnector.log",
             Entry("08:05:07", kCnpj, "Vinculacao concluida com sucesso.") +
                 Entry("09:05:10", kCnpj,
                       "Falha de comunicacao: System Error.  Code: 5.\r\n"
                       "Acesso negado.\x1b[2J") +
                 Entry("09:05:05", kCnpj, "Servidor de conexao respondeu HTTP 401."));
  const RecentActivity activity = CheckRecentActivity(env_, profile_, true);
  EXPECT_THAT(activity.lines,
              ElementsAre("Atividade recente (TolvenarConnector.log):",
                          "  2026-12-10 08:05:07, ha 1 h: Vinculacao concluida com sucesso.",
                          "  2026-12-10 09:05:10, horario a frente do relogio: Falha de "
                          "comunicacao: System Error.  Code: 5. Acesso negado. [2J",
                          "  2026-12-10 09:05:05, ha 2 s: Servidor de conexao respondeu HTTP 401.",
                          "Atividade recente: FALHA: ultima entrada, ha 2 s: Servidor de conexao "
                          "respondeu HTTP 401."));
  EXPECT_TRUE(activity.failing);
}

TEST_F(RecentActivityTest, SaysWhenThereIsNothingOrTheLogCannotBeRead) {
  EXPECT_THAT(CheckRecentActivity(env_, profile_, true).lines,
              ElementsAre("Atividade recente (TolvenarConnector.log):",
                          "  registro nao encontrado; sem atividade registrada"));
  dir_.Write("TolvenarConnector.log", Entry("09:00:00", "1", "outro perfil"));
  EXPECT_THAT(
      CheckRecentActivity(env_, profile_, true).lines,
      ElementsAre("Atividade recente (TolvenarConnector.log):", "  sem atividade registrada"));
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  const RecentActivity unreadable = CheckRecentActivity(env_, profile_, true);
  EXPECT_FALSE(unreadable.failing);
  EXPECT_THAT(unreadable.lines, ElementsAre("Atividade recente (TolvenarConnector.log):",
                                            "  registro " + path_ +
                                                " nao pode ser lido; atividade recente "
                                                "desconhecida"));
}

}  // namespace
}  // namespace tolvenar
