// What the shared Env tests (env_test.cpp) need from the platform they run
// on; posix/ and windows/ each implement it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "env/env.h"

namespace tolvenar::testing {

// A new Env of the platform's own kind, the one Env::Default() makes, save
// that whatever its data protector would create for the whole machine (the
// Linux machine key) goes under `scratch_dir` instead.
std::unique_ptr<Env> NewPlatformEnv(const std::string& scratch_dir);

// Whether this Windows build runs under Wine rather than Windows; false on
// Linux.
bool RunningUnderWine();

// A new file of `size` bytes that takes no room on disk: its size is set,
// nothing is written.
void MakeSparseFile(const std::string& path, uint64_t size);

}  // namespace tolvenar::testing
