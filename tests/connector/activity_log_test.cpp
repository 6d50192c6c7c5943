// Activity log entries: exact format, append-only, never interleaved.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/profile.h"
#include "connector/worker.h"
#include "messages/messages.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

class LoggingWorker : public TTolvenarConnectorWorker {
 public:
  using TTolvenarConnectorWorker::Log;
  LoggingWorker(TTolvenarConnectorProfile* profile, Env* env)
      : TTolvenarConnectorWorker(profile, nullptr, env) {}

 protected:
  void Execute() override {}
};

class ActivityLogTest : public ::testing::Test {
 protected:
  ActivityLogTest() : env_(dir_.Dir()), profile_(&env_.protector()) {
    profile_.SetCNPJ("12345678000199");
  }
  std::string LogText() const { return dir_.Read("TolvenarConnector.log"); }

  testing::TempDir dir_;
  testing::FakeEnv env_;
  TTolvenarConnectorProfile profile_;
};

TEST_F(ActivityLogTest, EntryHasTheExactFormatAndNoByteOrderMark) {
  env_.SetNow(LocalTime{2026, 3, 4, 23, 5, 9});
  LoggingWorker worker(&profile_, &env_);
  worker.Log("Vinculacao concluida com sucesso.");
  EXPECT_EQ(LogText(),
            "2026-03-04 23:05:09 [12345678000199] Vinculacao concluida com sucesso.\r\n");
}

class JournalEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  void WriteJournal(JournalPriority priority, std::string_view line) override {
    records.push_back(std::to_string(static_cast<int>(priority)) + " " + std::string(line));
  }
  std::vector<std::string> records;
};

// The journal gets each entry with a priority that fits it, on one line;
// the log file gets it exactly as before.
TEST_F(ActivityLogTest, EachEntryAlsoGoesToTheJournalWithItsPriority) {
  JournalEnv env(dir_.Dir());
  LoggingWorker worker(&profile_, &env);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Falha de comunicacao: System Error.  Code: 13.\r\nPermission denied",
       "3 [12345678000199] Falha de comunicacao: System Error.  Code: 13. Permission denied"},
      {TTolvenarConnectorWorker::kInsecureRefusedMessage,
       std::string("3 [12345678000199] ") + TTolvenarConnectorWorker::kInsecureRefusedMessage},
      {"Vinculacao recusada (HTTP 403).", "4 [12345678000199] Vinculacao recusada (HTTP 403)."},
      {"Servidor de conexao respondeu HTTP 503.",
       "4 [12345678000199] Servidor de conexao respondeu HTTP 503."},
      {"Falha ao devolver comando 7 (HTTP 500).",
       "4 [12345678000199] Falha ao devolver comando 7 (HTTP 500)."},
      {"Vinculacao concluida com sucesso.", "5 [12345678000199] Vinculacao concluida com sucesso."},
  };
  std::string expected_log;
  std::vector<std::string> expected_records;
  for (const auto& [message, record] : cases) {
    worker.Log(message);
    expected_log += "2026-12-10 09:05:07 [12345678000199] " + message + "\r\n";
    expected_records.push_back(record);
  }
  EXPECT_EQ(env.records, expected_records);
  EXPECT_EQ(LogText(), expected_log);
}

// The journal's priority follows the kind of the message the entry was
// written from, for every log message; an entry from none is information.
TEST_F(ActivityLogTest, JournalPriorityAgreesWithEachLogMessagesKind) {
  JournalEnv env(dir_.Dir());
  LoggingWorker worker(&profile_, &env);
  std::vector<std::string> expected;
  for (const OperatorMessage& message : kOperatorMessages) {
    if (message.where != "log") continue;
    const std::string entry = FillMessage(message.text, {"7", "500"});
    worker.Log(entry);
    const int priority = message.kind == MessageKind::kFailure   ? 3   // err
                         : message.kind == MessageKind::kWarning ? 4   // warning
                                                                 : 5;  // notice
    expected.push_back(std::to_string(priority) + " [12345678000199] " + entry);
  }
  worker.Log("Servidor de conexao");
  expected.push_back("6 [12345678000199] Servidor de conexao");
  EXPECT_EQ(env.records, expected);
}

TEST_F(ActivityLogTest, RegionalTimeSeparatorReplacesEveryColonOfTheTime) {
  env_.SetNow(LocalTime{2026, 12, 31, 0, 0, 0});
  env_.SetTimeSeparator(".");
  LoggingWorker worker(&profile_, &env_);
  worker.Log("x");
  EXPECT_EQ(LogText(), "2026-12-31 00.00.00 [12345678000199] x\r\n");
}

TEST_F(ActivityLogTest, EntriesAppendInCallOrderAndKeepTextUnchanged) {
  dir_.Write("TolvenarConnector.log", "\xEF\xBB\xBFold line\r\n");
  LoggingWorker worker(&profile_, &env_);
  worker.Log("Falha de comunicacao: System Error.  Code: 13.\r\nA mensagem");
  worker.Log("a\xC3\xA7\xC3\xA3o");
  EXPECT_EQ(LogText(),
            "\xEF\xBB\xBFold line\r\n"
            "2026-12-10 09:05:07 [12345678000199] Falha de comunicacao: System Error.  Code: "
            "13.\r\nA mensagem\r\n"
            "2026-12-10 09:05:07 [12345678000199] a\xC3\xA7\xC3\xA3o\r\n");
}

TEST_F(ActivityLogTest, UnwritableLogIsDroppedSilently) {
  // A folder in the log file's place can be opened by no one, root included.
  std::filesystem::create_directory(dir_.path() / "TolvenarConnector.log");
  LoggingWorker worker(&profile_, &env_);
  EXPECT_NO_THROW(worker.Log("lost"));
  testing::FakeEnv missing(dir_.Dir() + "no-such-folder/");
  LoggingWorker elsewhere(&profile_, &missing);
  EXPECT_NO_THROW(elsewhere.Log("lost too"));
}

TEST_F(ActivityLogTest, ConcurrentWritersNeverInterleaveEntries) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 200;
  std::vector<std::unique_ptr<TTolvenarConnectorProfile>> profiles;
  std::vector<std::unique_ptr<LoggingWorker>> workers;
  for (int t = 0; t < kThreads; ++t) {
    profiles.push_back(std::make_unique<TTolvenarConnectorProfile>(&env_.protector()));
    profiles.back()->SetCNPJ(std::to_string(t));
    workers.push_back(std::make_unique<LoggingWorker>(profiles.back().get(), &env_));
  }
  std::vector<std::thread> threads;
  const std::string payload(300, 'p');
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) workers[t]->Log(std::to_string(i) + payload);
    });
  }
  for (auto& thread : threads) thread.join();

  // Every line is one whole entry; entries may be missing, never mixed.
  std::istringstream lines(LogText());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    ASSERT_EQ(line.rfind("2026-12-10 09:05:07 [", 0), 0u) << line;
    ASSERT_EQ(line.substr(line.size() - 1 - payload.size(), payload.size()), payload);
    ++count;
  }
  EXPECT_GT(count, 0);
  EXPECT_LE(count, kThreads * kEntries);
}

}  // namespace
}  // namespace tolvenar
