// The manager: profiles to workers, start order, stop and ownership.
#include "connector/manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "config/profile.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

using ::testing::ElementsAre;

struct Journal {
  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<TTolvenarConnectorWorker*> workers;
  std::atomic<bool> all_flags_set_before_first_exit{true};
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(event));
  }
};

// Runs until told to stop; at that moment every other worker must be told too.
class IdleWorker : public TTolvenarConnectorWorker {
 public:
  IdleWorker(TTolvenarConnectorProfile* profile, TTolvenarConnectorConfig* config, Env* env,
             Journal* journal, bool end_at_once)
      : TTolvenarConnectorWorker(profile, config, env),
        journal_(journal),
        end_at_once_(end_at_once) {}

 protected:
  void Execute() override {
    journal_->Add("run " + FProfile->CNPJ());
    if (end_at_once_) return;
    while (!Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> lock(journal_->mutex);
    for (TTolvenarConnectorWorker* other : journal_->workers) {
      if (!other->Terminated()) journal_->all_flags_set_before_first_exit = false;
    }
  }

 private:
  Journal* journal_;
  bool end_at_once_;
};

class TestManager : public TTolvenarConnectorManager {
 public:
  TestManager(Env* env, Journal* journal) : TTolvenarConnectorManager(env), journal_(journal) {}
  std::string refuse_cnpj;  // this profile's worker ends at once

 protected:
  std::unique_ptr<TTolvenarConnectorWorker> CreateWorker(
      TTolvenarConnectorProfile* profile, TTolvenarConnectorConfig* config) override {
    journal_->Add("create " + profile->CNPJ());
    auto worker = std::make_unique<IdleWorker>(profile, config, nullptr, journal_,
                                               profile->CNPJ() == refuse_cnpj);
    std::lock_guard<std::mutex> lock(journal_->mutex);
    journal_->workers.push_back(worker.get());
    return worker;
  }

 private:
  Journal* journal_;
};

constexpr const char* kThreeProfiles =
    "[Connector]\r\nServidor=https://a.example\r\nCNPJ=1\r\n"
    "[Other]\r\nServidor=https://x.example\r\nCNPJ=9\r\n"
    "[Connector_B]\r\nServidor=https://b.example\r\nCNPJ=2\r\n"
    "[connector_c]\r\nServidor=https://c.example\r\nCNPJ=3\r\n";

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : env_(dir_.Dir()) {}
  testing::TempDir dir_;
  testing::FakeEnv env_;
  Journal journal_;
};

TEST_F(ManagerTest, NoFileMeansStartRaisesAndCreatesNoWorker) {
  TestManager manager(&env_, &journal_);
  try {
    manager.Start();
    FAIL() << "Start did not raise";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "Exception");
    EXPECT_EQ(e.Message(), "Nenhuma conexao configurada em TolvenarConnector.ini.");
  }
  EXPECT_EQ(manager.WorkerCount(), 0u);
  EXPECT_TRUE(journal_.events.empty());
}

TEST_F(ManagerTest, FileWithoutUsableSectionRaisesTheSameError) {
  dir_.Write("TolvenarConnector.ini", "[Connector]\r\nAtivo=0\r\nServidor=https://a\r\nCNPJ=1\r\n");
  TestManager manager(&env_, &journal_);
  EXPECT_THROW(manager.Start(), Exception);
}

// A file that is there but cannot be read is no empty configuration: the
// start fails with the system's reason, not with "no profile configured".
class UnreadableEnv : public testing::FakeEnv {
 public:
  using FakeEnv::FakeEnv;
  using FakeEnv::ReadFile;
  FileRead ReadFile(const std::string&, uint64_t, std::string*) override {
    FileRead read;
    read.outcome = FileRead::Outcome::kFailed;
    read.error = "Permission denied";
    return read;
  }
};

TEST_F(ManagerTest, UnreadableFileRaisesItsReasonAndCreatesNoWorker) {
  UnreadableEnv env(dir_.Dir());
  TestManager manager(&env, &journal_);
  try {
    manager.Start();
    FAIL() << "Start did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "Nao foi possivel ler " + dir_.File("TolvenarConnector.ini") + ": Permission denied");
  }
  EXPECT_TRUE(journal_.events.empty());
}

TEST_F(ManagerTest, FileLargerThanOneMebibyteIsRefusedUnread) {
  const std::string profile = "[Connector]\r\nServidor=https://a.example\r\nCNPJ=1\r\n";
  // A comment pads the file to exactly the limit: still read.
  const std::string padded =
      profile + ";" + std::string(1024 * 1024 - profile.size() - 3, 'x') + "\r\n";
  ASSERT_EQ(padded.size(), 1024u * 1024u);
  dir_.Write("TolvenarConnector.ini", padded);
  {
    TestManager manager(&env_, &journal_);
    EXPECT_EQ(manager.Profiles().size(), 1u);
  }
  dir_.Write("TolvenarConnector.ini", padded + "x");
  TestManager manager(&env_, &journal_);
  EXPECT_TRUE(manager.Profiles().empty());
  try {
    manager.Start();
    FAIL() << "Start did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Arquivo " + dir_.File("TolvenarConnector.ini") +
                               " maior que 1 MiB (1048577 bytes): nao foi lido.");
  }
  EXPECT_TRUE(journal_.events.empty());
}

// Workers that would all end at once would leave a service "running" that
// does nothing.
TEST_F(ManagerTest, EveryProfileRefusingPlainHttpRaisesTheRefusal) {
  dir_.Write("TolvenarConnector.ini",
             "[Connector]\r\nServidor=http://a.example\r\nCNPJ=1\r\n"
             "[Connector_B]\r\nServidor=HTTP://b.example\r\nPermitirHTTPInseguro=0\r\nCNPJ=2\r\n");
  TestManager manager(&env_, &journal_);
  try {
    manager.Start();
    FAIL() << "Start did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "Nenhuma conexao de TolvenarConnector.ini pode iniciar: Conexao HTTP recusada. "
              "Ative HTTPS ou PermitirHTTPInseguro apenas para homologacao.");
  }
  EXPECT_EQ(manager.WorkerCount(), 0u);
  EXPECT_TRUE(journal_.events.empty());
}

TEST_F(ManagerTest, OneProfileThatCanRunIsEnoughToStart) {
  for (const char* runnable : {"Servidor=https://b.example\r\n",
                               "Servidor=http://b.example\r\nPermitirHTTPInseguro=1\r\n"}) {
    SCOPED_TRACE(runnable);
    dir_.Write("TolvenarConnector.ini", std::string("[Connector]\r\nServidor=http://a.example\r\n"
                                                    "CNPJ=1\r\n[Connector_B]\r\nCNPJ=2\r\n") +
                                            runnable);
    TestManager manager(&env_, &journal_);
    manager.Start();
    EXPECT_EQ(manager.WorkerCount(), 2u);
  }
}

TEST_F(ManagerTest, OneWorkerPerProfileCreatedAndStartedInFileOrder) {
  dir_.Write("TolvenarConnector.ini", kThreeProfiles);
  TestManager manager(&env_, &journal_);
  manager.Start();
  EXPECT_EQ(manager.WorkerCount(), 3u);
  manager.Stop();
  EXPECT_EQ(manager.WorkerCount(), 0u);
  std::vector<std::string> creations;
  for (const std::string& e : journal_.events)
    if (e.rfind("create", 0) == 0) creations.push_back(e);
  EXPECT_THAT(creations, ElementsAre("create 1", "create 2", "create 3"));
  EXPECT_TRUE(journal_.all_flags_set_before_first_exit);
}

TEST_F(ManagerTest, StopIsHarmlessWhenRepeatedAndFreeingStops) {
  dir_.Write("TolvenarConnector.ini", kThreeProfiles);
  {
    TestManager manager(&env_, &journal_);
    manager.Start();
    manager.Stop();
    manager.Stop();
    manager.Start();
  }  // destroyed while running: stops and waits first
  int creations = 0;
  for (const std::string& e : journal_.events) creations += e.rfind("create", 0) == 0;
  EXPECT_EQ(creations, 6);
}

TEST_F(ManagerTest, WorkerThatEndedOnItsOwnDoesNotHoldUpStop) {
  dir_.Write("TolvenarConnector.ini", kThreeProfiles);
  TestManager manager(&env_, &journal_);
  manager.refuse_cnpj = "2";
  manager.Start();
  manager.Stop();
  EXPECT_EQ(manager.WorkerCount(), 0u);
}

TEST_F(ManagerTest, FreeingAManagerThatNeverStartedWaitsForNothing) {
  dir_.Write("TolvenarConnector.ini", kThreeProfiles);
  auto manager = std::make_unique<TestManager>(&env_, &journal_);
  EXPECT_EQ(manager->Profiles().size(), 3u);
  manager.reset();
  EXPECT_TRUE(journal_.events.empty());
}

}  // namespace
}  // namespace tolvenar
