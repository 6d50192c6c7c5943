// Root's refusal names the file, who controls it and the command to run
// instead, word for word as the operators' guide shows it.
#include "host/foreign_files_guard.h"

#include <gtest/gtest.h>

#include <string>

#include "base/exception.h"
#include "support/fake_env.h"

namespace tolvenar {
namespace {

class HeldEnv : public testing::FakeEnv {
 public:
  explicit HeldEnv(ForeignControl hold) : FakeEnv("/opt/tc/"), hold_(std::move(hold)) {}
  std::string ExecutableName() override { return "TolvenarConnector"; }
  std::optional<ForeignControl> FindForeignControl(const std::vector<std::string>&) override {
    return hold_;
  }

 private:
  ForeignControl hold_;
};

std::string Refusal(const ForeignControl& hold, const std::string& switch_text) {
  HeldEnv env(hold);
  try {
    RefuseFilesOfOtherAccounts(env, switch_text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(not refused)";
}

TEST(ForeignFilesGuardTest, EachKindOfControlIsRefusedWithItsCommand) {
  using Kind = ForeignControl::Kind;
  const std::string why = ", e root nao usa arquivos que outra conta controla. ";
  EXPECT_EQ(Refusal({"/opt/tc/TolvenarConnector.ini", Kind::kOwner, "svc"}, "-check"),
            "Recusado: /opt/tc/TolvenarConnector.ini pertence a conta svc" + why +
                "Use o comando \"runuser -u svc -- /opt/tc/TolvenarConnector -check\" para "
                "executar como essa conta");
  EXPECT_EQ(Refusal({"/opt/tc/", Kind::kGroupWritable, "staff"}, ""),
            "Recusado: /opt/tc/ pode ser alterado pelo grupo staff" + why +
                "Use o comando \"runuser -u staff -- /opt/tc/TolvenarConnector\" para executar "
                "como a conta desse grupo");
  EXPECT_EQ(Refusal({"/opt/tc/TolvenarConnector.log", Kind::kOtherWritable, ""}, "-console"),
            "Recusado: /opt/tc/TolvenarConnector.log pode ser alterado por qualquer conta" + why +
                "Tire essa permissao (chmod o-w /opt/tc/TolvenarConnector.log) ou use o comando "
                "\"runuser -u <conta> -- /opt/tc/TolvenarConnector -console\" com a conta do "
                "servico");
}

}  // namespace
}  // namespace tolvenar
