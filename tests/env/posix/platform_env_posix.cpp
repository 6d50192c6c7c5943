#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "env/platform_env.h"
#include "env/posix/env_posix.h"

namespace tolvenar::testing {

std::unique_ptr<Env> NewPlatformEnv(const std::string& scratch_dir) {
  PosixEnvOptions options;
  options.machine_key_path = scratch_dir + "state/machine.key";
  return std::make_unique<PosixEnv>(options);
}

bool RunningUnderWine() { return false; }

void MakeSparseFile(const std::string& path, uint64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const bool sized = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  ::close(fd);
  if (!sized) throw std::runtime_error("cannot size " + path);
}

}  // namespace tolvenar::testing
