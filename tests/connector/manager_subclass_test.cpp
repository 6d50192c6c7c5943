// A manager subclass (the tests' own, with its CreateWorker override) owned
// through a pointer to the base class is destroyed whole.
#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

#include "connector/manager.h"
#include "support/fake_env.h"
#include "support/temp_dir.h"

namespace tolvenar {
namespace {

static_assert(std::has_virtual_destructor_v<TTolvenarConnectorManager>);

class FlaggingManager : public TTolvenarConnectorManager {
 public:
  FlaggingManager(Env* env, bool* destroyed)
      : TTolvenarConnectorManager(env), destroyed_(destroyed) {}
  ~FlaggingManager() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(ManagerSubclassTest, DeletingThroughTheBaseRunsTheSubclassDestructor) {
  testing::TempDir dir;
  testing::FakeEnv env(dir.Dir());
  bool destroyed = false;
  std::unique_ptr<TTolvenarConnectorManager> manager =
      std::make_unique<FlaggingManager>(&env, &destroyed);
  manager.reset();
  EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace tolvenar
